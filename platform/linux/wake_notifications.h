// WakeNotifications: tells the agent that the machine has resumed from suspend. It listens to
// logind's PrepareForSleep(false) signal on the system bus and also checks, every few seconds,
// whether the time spent suspended (CLOCK_BOOTTIME minus CLOCK_MONOTONIC) grew, which works
// without logind. Each resume calls `onWake` once, however many sources notice it.
// Lives on the agent's io_context: construct, start and destroy it on that thread; `onWake`
// runs there.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include <asio.hpp>

#include "base/agent_log.h"

namespace torvo {

class WakeNotifications {
 public:
  // Milliseconds spent suspended since boot.
  using SuspendedClock = std::function<std::int64_t()>;

  static constexpr std::chrono::seconds checkEvery{5};
  // Growth of the suspended time that counts as a resume.
  static constexpr std::int64_t minimumSuspendMillis = 1000;

  WakeNotifications(asio::io_context& io, AgentLog& log, std::function<void()> onWake,
                    SuspendedClock suspended = systemSuspendedMillis);
  ~WakeNotifications();
  WakeNotifications(const WakeNotifications&) = delete;
  WakeNotifications& operator=(const WakeNotifications&) = delete;

  // Starts both sources. Without the system bus or logind it logs "couldn't register for wake
  // notifications; relying on the timer" under `power` and keeps the clock check alone.
  // Returns whether logind's signal is being followed.
  bool start();

  // Looks at the suspended time now and calls `onWake` if it grew by a resume.
  void check();

  static std::int64_t systemSuspendedMillis();

 private:
  struct Bus;
  void scheduleCheck();
  void waitForBus();

  asio::io_context& io_;
  AgentLog& log_;
  std::function<void()> onWake_;
  SuspendedClock suspended_;
  std::int64_t lastSuspended_;
  asio::steady_timer timer_;
  std::unique_ptr<Bus> bus_;
};

}  // namespace torvo
