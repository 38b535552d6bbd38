#include "platform/linux/power_machine_name.h"

#include <limits.h>
#include <unistd.h>

#include <limits>

#include "base/display_text.h"
#include "base/regular_file.h"

namespace torvo::MachineName {
namespace {

constexpr std::string_view blanks = " \t\r";

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

// A value as the shell would read it: single quotes keep everything, double quotes allow
// backslash escapes of \ " $ and `, and an unquoted value ends at the line's end.
std::string unquote(std::string_view value) {
  value = trim(value);
  if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
    return std::string(value.substr(1, value.size() - 2));
  }
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    const std::string_view inner = value.substr(1, value.size() - 2);
    std::string out;
    for (std::size_t i = 0; i < inner.size(); ++i) {
      if (inner[i] == '\\' && i + 1 < inner.size() &&
          std::string_view("\\\"$`").find(inner[i + 1]) != std::string_view::npos) {
        ++i;
      }
      out.push_back(inner[i]);
    }
    return out;
  }
  return std::string(value);
}

// A name from a file or the kernel is only bytes: each invalid UTF-8 sequence becomes U+FFFD,
// control and format characters go and white space is trimmed, so that every answer, log
// line and message can carry it. The length is left to the callers. Absent when nothing is
// left.
std::optional<std::string> cleanName(std::string_view name) {
  std::string cleaned = DisplayText::clean(name, std::numeric_limits<std::size_t>::max(), "");
  if (cleaned.empty()) return std::nullopt;
  return cleaned;
}

}  // namespace

std::optional<std::string> prettyHostname(std::string_view machineInfo) {
  std::optional<std::string> found;
  std::size_t start = 0;
  while (start <= machineInfo.size()) {
    auto end = machineInfo.find('\n', start);
    if (end == std::string_view::npos) end = machineInfo.size();
    const std::string_view line = trim(machineInfo.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    const auto equals = line.find('=');
    if (equals == std::string_view::npos || trim(line.substr(0, equals)) != "PRETTY_HOSTNAME") {
      continue;
    }
    // A later assignment replaces an earlier one, as in the shell.
    found = unquote(line.substr(equals + 1));
  }
  if (!found) return std::nullopt;
  return cleanName(*found);
}

std::optional<std::string> prettyHostnameIn(const std::filesystem::path& machineInfo) {
  const auto content = readRegularFile(machineInfo);
  if (!content) return std::nullopt;
  return prettyHostname(*content);
}

std::optional<std::string> hostName() {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return std::nullopt;
  return cleanName(buffer);
}

}  // namespace torvo::MachineName
