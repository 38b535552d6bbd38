// MachineName: the computer's names on Linux. The user-visible name is PRETTY_HOSTNAME of
// /etc/machine-info (an environment-style file: KEY=VALUE lines, values optionally in single
// or double quotes, "#" comments); the host name is the kernel's. Stateless; safe from any
// thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace torvo::MachineName {

// Both names are cleaned as they are read: invalid UTF-8 sequences become U+FFFD, control
// and format characters are removed and white space is trimmed from both ends.

// PRETTY_HOSTNAME from the text of a machine-info file; absent when missing or when nothing
// is left of it after cleaning.
std::optional<std::string> prettyHostname(std::string_view machineInfo);
// The same, read from a file; absent when it is not a readable regular file.
std::optional<std::string> prettyHostnameIn(const std::filesystem::path& machineInfo);
// The host name (gethostname); absent when nothing is left of it after cleaning.
std::optional<std::string> hostName();

}  // namespace torvo::MachineName
