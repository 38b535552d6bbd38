// FakeRelay: an in-memory RelayTransport for tests of the check-in cycle and sending. It
// records every publish and poll, serves scripted poll answers and errors in order, and answers
// health with a set value. Single-threaded: use it from the coroutines of one io_context.
#pragma once

#include <deque>
#include <exception>
#include <string>
#include <variant>
#include <vector>

#include "agent/relay.h"

namespace torvo {

class FakeRelay : public RelayTransport {
 public:
  // Answers the id "published-N" for the Nth successful publish.
  asio::awaitable<std::optional<std::string>> publish(std::string text) override;
  asio::awaitable<std::vector<NtfyEvent>> poll(NtfySince since) override;
  asio::awaitable<RelayHealth> health(double wait) override;

  // The texts published successfully, in order.
  const std::vector<std::string>& published() const { return published_; }
  // The since value of every poll, in order (failed polls included).
  const std::vector<NtfySince>& polls() const { return polls_; }
  // The wait of every health check, in order.
  const std::vector<double>& healthWaits() const { return healthWaits_; }

  // The next poll answers these events (once queued answers run out, polls answer nothing).
  void queuePoll(std::vector<NtfyEvent> events);
  // The next poll fails with this error.
  void queuePollError(std::exception_ptr error);
  // Every publish fails with `error` until called again with nullptr.
  void failPublishes(std::exception_ptr error) { publishError_ = std::move(error); }
  void setHealth(RelayHealth health) { health_ = health; }

 private:
  std::vector<std::string> published_;
  std::vector<NtfySince> polls_;
  std::vector<double> healthWaits_;
  std::deque<std::variant<std::vector<NtfyEvent>, std::exception_ptr>> pollAnswers_;
  std::exception_ptr publishError_;
  RelayHealth health_{.reachable = true, .skew = 0};
};

}  // namespace torvo
