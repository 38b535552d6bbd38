#include "platform/linux/wake_clock.h"

#include <system_error>

namespace torvo::WakeClock {

Probe probe(const std::filesystem::path& root) {
  std::error_code error;
  bool anyClock = false;
  for (std::filesystem::directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    if (!it->path().filename().string().starts_with("rtc")) continue;
    anyClock = true;
    std::error_code ignored;
    if (std::filesystem::exists(it->path() / "wakealarm", ignored)) return {true, ""};
  }
  if (!anyClock) return {false, "no real-time clock under " + root.string()};
  return {false, "no real-time clock under " + root.string() + " supports wake alarms"};
}

}  // namespace torvo::WakeClock
