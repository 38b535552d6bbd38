// FakeDoorbell: an in-memory Doorbell for tests of the agent. It records what the agent asked
// it to follow and lets the test ring as the relay's stream would. Single-threaded: use it from
// the thread that runs the agent's io_context.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent/doorbell.h"

namespace torvo {

class FakeDoorbell : public Doorbell {
 public:
  struct Followed {
    std::string relay;
    std::string topic;
    bool operator==(const Followed&) const = default;
  };

  void follow(const std::string& relay, const std::string& topic, Ring ring) override {
    if (!followed_ || followed_->relay != relay || followed_->topic != topic) {
      followed_ = Followed{relay, topic};
      moves_.push_back(*followed_);
    }
    ring_ = std::move(ring);
  }
  void stop() override {
    followed_.reset();
    ring_ = nullptr;
  }

  // What is followed now; nothing while stopped.
  const std::optional<Followed>& followed() const { return followed_; }
  // Every relay and topic the doorbell was moved to, in order.
  const std::vector<Followed>& moves() const { return moves_; }

  // Rings as the stream does for a message event with `eventID`; false (and nothing happens)
  // while nothing is followed, as a broken or stopped stream rings nothing.
  bool ring(const std::string& eventID) {
    if (!ring_) return false;
    ring_(eventID);
    return true;
  }

 private:
  std::optional<Followed> followed_;
  std::vector<Followed> moves_;
  Ring ring_;
};

}  // namespace torvo
