// The doorbell: the relay's live stream of the agent's topic, used only as a hint that a message
// has arrived so a check-in can read it at once instead of at the next timer tick. It carries
// nothing into the check-in: the check-in reads the relay by polling as it always does.
// `Doorbell` is the narrow interface the agent drives, abstract so that it can be faked
// (tests/fakes/fake_doorbell.h); `RelayDoorbell` follows the stream on a thread of its own (a
// stream blocks its thread for its whole life, so it never takes a worker the check-ins need),
// reconnects after a break with a capped backoff, and hands each message event's id to the
// ring callback on the agent's executor.
// `follow` and `stop` are called from the agent's thread; the ring runs there too.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <asio.hpp>

#include "base/agent_log.h"

namespace torvo {

class Doorbell {
 public:
  // Called with the relay's id of each message event that arrives on the followed topic.
  using Ring = std::function<void(const std::string& eventID)>;

  virtual ~Doorbell() = default;
  // Follows `topic` at `relay` from the relay's current position, ringing `ring` for each
  // message event. Following the same relay and topic again changes nothing; another relay or
  // topic replaces the stream.
  virtual void follow(const std::string& relay, const std::string& topic, Ring ring) = 0;
  // Stops following; nothing rings afterwards that was not already on its way.
  virtual void stop() = 0;
};

// How long RelayDoorbell waits before reconnecting a stream that broke: `firstRetry`, doubled
// after each stream that broke again without delivering an event, up to `lastRetry`.
struct DoorbellBackoff {
  std::chrono::milliseconds firstRetry{1000};
  std::chrono::milliseconds lastRetry{60'000};
};

class RelayDoorbell : public Doorbell {
 public:
  using Backoff = DoorbellBackoff;

  RelayDoorbell(asio::any_io_executor executor, AgentLog& log, Backoff backoff = Backoff{});
  RelayDoorbell(const RelayDoorbell&) = delete;
  RelayDoorbell& operator=(const RelayDoorbell&) = delete;
  ~RelayDoorbell() override;

  void follow(const std::string& relay, const std::string& topic, Ring ring) override;
  void stop() override;

 private:
  struct Follower;

  asio::any_io_executor executor_;
  AgentLog& log_;
  Backoff backoff_;
  std::unique_ptr<Follower> follower_;
};

}  // namespace torvo
