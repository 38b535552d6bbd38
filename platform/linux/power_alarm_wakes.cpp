#include "platform/linux/power_alarm_wakes.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

namespace torvo {

AlarmWakes::~AlarmWakes() {
  for (const Wake& wake : wakes_) ::close(wake.fd);
}

int AlarmWakes::schedule(double time, const std::string& owner, const std::string& type) {
  if (type != "wake") return -EINVAL;
  // Times a timespec cannot hold, and times before the epoch, are refused.
  if (!std::isfinite(time) || time < 0 || time >= 9.2e18) return -EINVAL;
  const int fd = ::timerfd_create(clock_, TFD_CLOEXEC | TFD_NONBLOCK);
  if (fd < 0) return -errno;
  itimerspec spec{};
  const double seconds = std::floor(time);
  spec.it_value.tv_sec = static_cast<time_t>(seconds);
  spec.it_value.tv_nsec = static_cast<long>((time - seconds) * 1e9);
  if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
  if (::timerfd_settime(fd, TFD_TIMER_ABSTIME, &spec, nullptr) != 0) {
    const int error = errno;
    ::close(fd);
    return -error;
  }
  std::lock_guard guard(mutex_);
  wakes_.push_back(Wake{time, owner, type, fd});
  return 0;
}

void AlarmWakes::cancel(double time, const std::string& owner, const std::string& type) {
  std::lock_guard guard(mutex_);
  std::erase_if(wakes_, [&](const Wake& wake) {
    if (wake.time != time || wake.owner != owner || wake.type != type) return false;
    ::close(wake.fd);
    return true;
  });
}

nlohmann::json AlarmWakes::list() {
  std::lock_guard guard(mutex_);
  std::erase_if(wakes_, [](const Wake& wake) {
    itimerspec left{};
    const bool pending = ::timerfd_gettime(wake.fd, &left) == 0 &&
                         (left.it_value.tv_sec != 0 || left.it_value.tv_nsec != 0);
    if (!pending) ::close(wake.fd);
    return !pending;
  });
  nlohmann::json events = nlohmann::json::array();
  for (const Wake& wake : wakes_) {
    events.push_back({{"time", wake.time}, {"scheduledby", wake.owner}, {"eventtype", wake.type}});
  }
  return events;
}

}  // namespace torvo
