// Small helpers shared by the command-line tools (torvo-ctl, torvo-phone): reading a whole
// decimal number from an argument and writing a time in the local time zone. Pure; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace torvo::CliText {

// The argument as a decimal integer; nothing when anything else is in it.
std::optional<std::int64_t> number(const std::string& text);

// "yyyy-mm-dd HH:MM" (or with `seconds`, "HH:MM:SS" alone) in the local time zone.
std::string localTime(std::int64_t t, bool seconds = false);

}  // namespace torvo::CliText
