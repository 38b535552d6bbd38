#include "power/power_time.h"

#include <ctime>

namespace torvo::PowerTime {
namespace {

// A time the calendar cannot place (far outside the years it handles) is written as its
// number of seconds, so a log line never loses it.
std::string format(std::int64_t time, const char* pattern) {
  const std::time_t seconds = static_cast<std::time_t>(time);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return std::to_string(time);
  char buffer[64];
  const std::size_t n = std::strftime(buffer, sizeof buffer, pattern, &local);
  if (n == 0) return std::to_string(time);
  return std::string(buffer, n);
}

}  // namespace

std::string stamp(std::int64_t time) { return format(time, "%Y-%m-%d %H:%M:%S"); }

std::string pmsetDate(std::int64_t time) { return format(time, "%m/%d/%y %H:%M:%S"); }

}  // namespace torvo::PowerTime
