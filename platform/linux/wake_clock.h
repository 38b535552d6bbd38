// WakeClock: whether this machine can wake itself from suspend at a set time. The alarm timers
// that carry scheduled wakes reach the hardware through a real-time clock that supports wake
// alarms; the kernel shows such a clock as a folder under /sys/class/rtc with a "wakealarm"
// file. Stateless; any thread.
#pragma once

#include <filesystem>
#include <string>

namespace torvo::WakeClock {

struct Probe {
  bool canWake = false;
  std::string reason;  // why not, for a log line or a user; empty when `canWake`

  bool operator==(const Probe&) const = default;
};

// Looks at the clocks under `root` (tests pass a folder of their own).
Probe probe(const std::filesystem::path& root = "/sys/class/rtc");

}  // namespace torvo::WakeClock
