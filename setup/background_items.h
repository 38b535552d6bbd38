// BackgroundItems reads the platform's printed list of background items (the output of
// "sfltool dumpbtm") and picks out the enabled login items of one user. Pure functions, safe
// from any thread; the caller (RealSystemSettings::loginItems) runs the tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/setup_records.h"

namespace torvo::BackgroundItems {

inline constexpr const char* tool = "/usr/bin/sfltool";
inline constexpr const char* arguments[] = {"dumpbtm"};
inline constexpr std::size_t maxItems = 200;

// The enabled app and login-item records of user `uid`, at most `maxItems` of them, or
// nothing when the text has no section for that user. Unreadable lines are skipped.
std::optional<std::vector<LoginItem>> parse(std::string_view text, std::uint32_t uid);

// The decoded file path of a "file://" URL without trailing "/", or nothing for any other
// text, an invalid URL or an empty path.
std::optional<std::string> path(std::string_view fromURL);

}  // namespace torvo::BackgroundItems
