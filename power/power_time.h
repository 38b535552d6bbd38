// The two time texts of the power control, both in the system's current time zone with a
// 24-hour clock: the log stamp "yyyy-MM-dd HH:mm:ss" and the date form "MM/dd/yy HH:mm:ss"
// that the pmset tool takes. Safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace torvo::PowerTime {

std::string stamp(std::int64_t time);
std::string pmsetDate(std::int64_t time);

}  // namespace torvo::PowerTime
