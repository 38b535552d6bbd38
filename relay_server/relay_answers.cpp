#include "relay_server/relay_answers.h"

#include <cctype>
#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

namespace torvo::RelayAnswers {
namespace {

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

std::string httpDateNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[parts.tm_wday],
                parts.tm_mday, months[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour,
                parts.tm_min, parts.tm_sec);
  return text;
}

Response answer(http::status status, std::string body, std::string_view type) {
  Response response{status, 11};
  response.set(http::field::content_type, beastView(type));
  response.body() = std::move(body);
  return response;
}

Response errorAnswer(int status, int code, const std::string& error) {
  const nlohmann::json body = {{"code", code}, {"http", status}, {"error", error}};
  return answer(static_cast<http::status>(status), body.dump() + "\n", "application/json");
}

bool isTopic(std::string_view text) {
  if (text.empty() || text.size() > 64) return false;
  for (unsigned char c : text) {
    if (!std::isalnum(c) && c != '-' && c != '_') return false;
  }
  return true;
}

std::optional<std::string> queryValue(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const auto amp = query.find('&');
    const auto pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const auto equals = pair.find('=');
    if (pair.substr(0, equals) != name) continue;
    if (equals == std::string_view::npos) return std::string();
    std::string out;
    const auto raw = pair.substr(equals + 1);
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '+') {
        out += ' ';
      } else if (raw[i] == '%' && i + 2 < raw.size() && isHex(raw[i + 1]) && isHex(raw[i + 2])) {
        out += static_cast<char>(std::stoi(std::string(raw.substr(i + 1, 2)), nullptr, 16));
        i += 2;
      } else {
        out += raw[i];
      }
    }
    return out;
  }
  return std::nullopt;
}

}  // namespace torvo::RelayAnswers
