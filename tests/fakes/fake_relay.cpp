#include "tests/fakes/fake_relay.h"

namespace torvo {

asio::awaitable<std::optional<std::string>> FakeRelay::publish(std::string text) {
  if (publishError_) std::rethrow_exception(publishError_);
  published_.push_back(std::move(text));
  co_return "published-" + std::to_string(published_.size());
}

asio::awaitable<std::vector<NtfyEvent>> FakeRelay::poll(NtfySince since) {
  polls_.push_back(std::move(since));
  if (pollAnswers_.empty()) co_return std::vector<NtfyEvent>{};
  auto answer = std::move(pollAnswers_.front());
  pollAnswers_.pop_front();
  if (auto* error = std::get_if<std::exception_ptr>(&answer)) std::rethrow_exception(*error);
  co_return std::get<std::vector<NtfyEvent>>(std::move(answer));
}

asio::awaitable<RelayHealth> FakeRelay::health(double wait) {
  healthWaits_.push_back(wait);
  co_return health_;
}

void FakeRelay::queuePoll(std::vector<NtfyEvent> events) {
  pollAnswers_.emplace_back(std::move(events));
}

void FakeRelay::queuePollError(std::exception_ptr error) {
  pollAnswers_.emplace_back(std::move(error));
}

}  // namespace torvo
