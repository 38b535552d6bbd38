// WorkerPool: a few threads for blocking work (libcurl transfers, tools) that coroutines on the
// agent's io_context await without blocking it. The awaiting coroutine resumes on its own
// executor with the work's result or exception. Cancelling the awaiting operation (as
// `withTimeout` does) cancels the `HttpCancel` handed to the work, which stops a transfer at
// once; work that ignores it simply runs to its end.
// Thread-safe; the pool must outlive every operation awaiting it.
#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include <asio.hpp>

#include "kit/ntfy_http.h"

namespace torvo {

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t threads = 4) : pool_(threads) {}
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool() { pool_.join(); }

  // Runs `work(cancel)` on a worker and awaits its result.
  template <class Work>
  auto run(Work work) -> asio::awaitable<std::invoke_result_t<Work&, const HttpCancel&>>;

 private:
  asio::thread_pool pool_;
};

template <class Work>
auto WorkerPool::run(Work work) -> asio::awaitable<std::invoke_result_t<Work&, const HttpCancel&>> {
  using Result = std::invoke_result_t<Work&, const HttpCancel&>;
  using Stored = std::conditional_t<std::is_void_v<Result>, std::monostate, Result>;
  auto cancel = std::make_shared<HttpCancel>();
  auto initiate = [this, cancel, work = std::move(work)](auto handler) mutable {
    auto slot = asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) {
      slot.assign([cancel](asio::cancellation_type) { cancel->cancel(); });
    }
    auto home = asio::make_work_guard(asio::get_associated_executor(handler));
    asio::post(pool_, [cancel, slot, work = std::move(work), handler = std::move(handler),
                       home = std::move(home)]() mutable {
      std::exception_ptr error;
      std::optional<Stored> value;
      try {
        if constexpr (std::is_void_v<Result>) {
          work(*cancel);
          value.emplace();
        } else {
          value.emplace(work(*cancel));
        }
      } catch (...) {
        error = std::current_exception();
      }
      auto executor = home.get_executor();
      asio::post(executor, [slot, handler = std::move(handler), error,
                            value = std::move(value)]() mutable {
        if (slot.is_connected()) slot.clear();
        std::move(handler)(error, std::move(value));
      });
    });
  };
  auto value = co_await asio::async_initiate<decltype(asio::use_awaitable),
                                             void(std::exception_ptr, std::optional<Stored>)>(
      std::move(initiate), asio::use_awaitable);
  if constexpr (!std::is_void_v<Result>) co_return std::move(*value);
}

}  // namespace torvo
