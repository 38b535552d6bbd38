#include "tools/cli_text.h"

#include <charconv>
#include <ctime>

namespace torvo::CliText {

std::optional<std::int64_t> number(const std::string& text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string localTime(std::int64_t t, bool seconds) {
  const std::time_t time = static_cast<std::time_t>(t);
  std::tm local{};
  if (::localtime_r(&time, &local) == nullptr) return std::to_string(t);
  char text[32];
  std::strftime(text, sizeof text, seconds ? "%H:%M:%S" : "%Y-%m-%d %H:%M", &local);
  return text;
}

}  // namespace torvo::CliText
