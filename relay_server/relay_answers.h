// RelayAnswers: the HTTP pieces of torvo-relay's answers on Boost.Beast (the headers every
// answer carries, JSON error documents, reading the request target). Private to the relay
// server; pure functions, safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <boost/beast/http.hpp>

namespace torvo::RelayAnswers {

namespace http = boost::beast::http;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

inline boost::beast::string_view beastView(std::string_view text) {
  return {text.data(), text.size()};
}
inline std::string_view stdView(boost::beast::string_view text) {
  return {text.data(), text.size()};
}

// The current time as an HTTP date ("Thu, 10 Dec 2026 23:07:06 GMT").
std::string httpDateNow();

// Sets the headers every answer carries: Date and the CORS origin.
template <class Message>
void addCommonHeaders(Message& message) {
  message.set(http::field::date, httpDateNow());
  message.set(http::field::access_control_allow_origin, "*");
}

Response answer(http::status status, std::string body, std::string_view type);

// An ntfy-style error document: {"code":CODE,"http":STATUS,"error":TEXT}.
Response errorAnswer(int status, int code, const std::string& error);

// Whether `text` is a topic name: 1 to 64 of A-Z, a-z, 0-9, '-' and '_'.
bool isTopic(std::string_view text);

// The value of `name` in a query string, percent-decoded; nothing when absent.
std::optional<std::string> queryValue(std::string_view query, std::string_view name);

}  // namespace torvo::RelayAnswers
