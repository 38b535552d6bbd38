// DisplayText::clean makes a text from outside (a phone's name, the computer's name) safe and
// short for display, storage as a name and log lines. Safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace torvo::DisplayText {

// Removes every scalar of general category Cc or Cf, trims white space and line breaks from
// both ends, cuts to the first `max` user-perceived characters, and returns `fallback` when
// nothing is left.
std::string clean(std::string_view text, std::size_t max, std::string_view fallback);

}  // namespace torvo::DisplayText
