// AlarmWakes: the scheduled system wakes of the Linux power platform. Each wake is a timerfd
// on CLOCK_REALTIME_ALARM (which needs CAP_WAKE_ALARM) set to an absolute time; the kernel
// wakes the computer from suspend when it expires. The descriptors belong to this process, so
// its wakes end with it. Listing gives the platform's event records ("time", "scheduledby",
// "eventtype"); a wake whose time has passed is dropped from the list, as a fired event is.
// Thread-safe; the destructor closes every descriptor.
#pragma once

#include <time.h>

#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace torvo {

class AlarmWakes {
 public:
  // Tests pass CLOCK_REALTIME, which needs no privilege.
  explicit AlarmWakes(clockid_t clock = CLOCK_REALTIME_ALARM) : clock_(clock) {}
  AlarmWakes(const AlarmWakes&) = delete;
  AlarmWakes& operator=(const AlarmWakes&) = delete;
  ~AlarmWakes();

  // Schedules a wake at `time` (seconds since the epoch). Only the type "wake" exists here.
  // Returns 0, or a negative errno value.
  int schedule(double time, const std::string& owner, const std::string& type);
  // Removes the wakes with exactly this time, owner and type.
  void cancel(double time, const std::string& owner, const std::string& type);
  // The wakes still to come, in the order they were scheduled.
  nlohmann::json list();

 private:
  struct Wake {
    double time;
    std::string owner;
    std::string type;
    int fd;
  };

  const clockid_t clock_;
  std::mutex mutex_;
  std::vector<Wake> wakes_;
};

}  // namespace torvo
