// withTimeout: bounds an awaitable operation in time. The operation and a steady-clock sleep of
// `limit` seconds run together; the first to finish decides and the other is cancelled, and
// the call returns once both have ended. A failure of the operation counts as "nothing", so a
// fast failure returns at once. Cancellation reaches HTTP transfers run through WorkerPool,
// which stop promptly.
// Call from a coroutine on any executor; the operation runs on the same executor.
#pragma once

#include <chrono>
#include <optional>
#include <variant>

#include <asio.hpp>
#include <asio/experimental/awaitable_operators.hpp>

namespace torvo {

namespace detail {

template <class T>
asio::awaitable<std::optional<T>> nothingOnFailure(asio::awaitable<T> operation) {
  try {
    co_return co_await std::move(operation);
  } catch (...) {
    co_return std::nullopt;
  }
}

asio::awaitable<std::optional<bool>> nothingOnFailure(asio::awaitable<void> operation);

asio::steady_timer::duration secondsToDuration(double seconds);

}  // namespace detail

// The operation's value, or nothing when it failed or `limit` seconds passed first.
template <class T>
asio::awaitable<std::optional<T>> withTimeout(double limit, asio::awaitable<T> operation) {
  using namespace asio::experimental::awaitable_operators;
  asio::steady_timer timer(co_await asio::this_coro::executor, detail::secondsToDuration(limit));
  asio::error_code timerError;
  // Built apart from the co_await: g++ 12 destroys temporaries inside it twice.
  auto guarded = detail::nothingOnFailure(std::move(operation));
  auto sleep = timer.async_wait(asio::redirect_error(asio::use_awaitable, timerError));
  auto race = std::move(guarded) || std::move(sleep);
  auto first = co_await std::move(race);
  if (first.index() == 0) co_return std::move(std::get<0>(first));
  co_return std::nullopt;
}

// For an operation without a value: true when it finished in time without failing.
asio::awaitable<bool> withTimeout(double limit, asio::awaitable<void> operation);

}  // namespace torvo
