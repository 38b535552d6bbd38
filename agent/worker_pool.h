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
#include <type_traits>
#include <utility>

#include <asio.hpp>

#include "kit/ntfy_http.h"

namespace torvo {

namespace detail {
template <class Result>
struct WorkSignature {
  using type = void(std::exception_ptr, Result);
};
template <>
struct WorkSignature<void> {
  using type = void(std::exception_ptr);
};
}  // namespace detail

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t threads = 4) : pool_(threads) {}
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool() { pool_.join(); }

  // Runs `work(cancel)` on a worker and awaits its result, which must be default-constructible
  // (or void). Not a coroutine itself, so `work` is moved straight into the operation.
  template <class Work>
  auto run(Work work) -> asio::awaitable<std::invoke_result_t<Work&, const HttpCancel&>>;

 private:
  asio::thread_pool pool_;
};

template <class Work>
auto WorkerPool::run(Work work) -> asio::awaitable<std::invoke_result_t<Work&, const HttpCancel&>> {
  using Result = std::invoke_result_t<Work&, const HttpCancel&>;
  using Signature = typename detail::WorkSignature<Result>::type;
  auto initiate = [this](auto handler, Work work) {
    auto cancel = std::make_shared<HttpCancel>();
    auto slot = asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) {
      slot.assign([cancel](asio::cancellation_type) { cancel->cancel(); });
    }
    auto home = asio::make_work_guard(asio::get_associated_executor(handler));
    asio::post(pool_, [cancel, slot, work = std::move(work), handler = std::move(handler),
                       home = std::move(home)]() mutable {
      std::exception_ptr error;
      auto finish = [&](auto... value) {
        asio::post(home.get_executor(), [slot, handler = std::move(handler), error,
                                         value...]() mutable {
          if (slot.is_connected()) slot.clear();
          std::move(handler)(error, std::move(value)...);
        });
      };
      if constexpr (std::is_void_v<Result>) {
        try {
          work(*cancel);
        } catch (...) {
          error = std::current_exception();
        }
        finish();
      } else {
        Result value{};
        try {
          value = work(*cancel);
        } catch (...) {
          error = std::current_exception();
        }
        finish(std::move(value));
      }
    });
  };
  return asio::async_initiate<decltype(asio::use_awaitable), Signature>(
      std::move(initiate), asio::use_awaitable, std::move(work));
}

}  // namespace torvo
