// InhibitorLocks: the power assertions of the Linux power platform. Each assertion is a file
// descriptor that holds a logind inhibitor lock; closing it releases the lock. An assertion
// may carry a time limit, after which a helper thread closes it on its own, so an assertion
// that is never released cannot keep the computer up for longer.
// Thread-safe; the helper thread starts with the first time limit and stops in the destructor,
// which closes every descriptor still held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

#include "power/power_platform.h"

namespace torvo {

class InhibitorLocks {
 public:
  using Clock = std::chrono::steady_clock;

  InhibitorLocks() = default;
  InhibitorLocks(const InhibitorLocks&) = delete;
  InhibitorLocks& operator=(const InhibitorLocks&) = delete;
  ~InhibitorLocks();

  // Takes ownership of `fd` and returns its identifier (never 0).
  AssertionID add(int fd, std::optional<Clock::duration> limit);
  // Closes the descriptor of `id`; an unknown or already expired identifier is ignored.
  void release(AssertionID id);
  // How many assertions are held.
  std::size_t count() const;

 private:
  struct Held {
    int fd;
    std::optional<Clock::time_point> deadline;
  };

  void expireLoop(std::stop_token stop);

  mutable std::mutex mutex_;
  std::condition_variable_any changed_;
  std::map<AssertionID, Held> held_;
  AssertionID lastID_ = 0;
  std::uint64_t generation_ = 0;  // counts added time limits, to wake the helper thread
  std::jthread expirer_;  // last member: it stops and joins before the others go
};

}  // namespace torvo
