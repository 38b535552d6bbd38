#include "agent/with_timeout.h"

#include <algorithm>

namespace torvo {
namespace detail {

asio::awaitable<std::optional<bool>> nothingOnFailure(asio::awaitable<void> operation) {
  try {
    co_await std::move(operation);
    co_return true;
  } catch (...) {
    co_return std::nullopt;
  }
}

asio::steady_timer::duration secondsToDuration(double seconds) {
  return std::chrono::duration_cast<asio::steady_timer::duration>(
      std::chrono::duration<double>(std::max(0.0, seconds)));
}

}  // namespace detail

asio::awaitable<bool> withTimeout(double limit, asio::awaitable<void> operation) {
  auto guarded = detail::nothingOnFailure(std::move(operation));
  auto bounded = withTimeout(limit, std::move(guarded));
  auto result = co_await std::move(bounded);
  co_return result.has_value() && result->has_value();
}

}  // namespace torvo
