// Typed reading of JSON object fields for the kit's records, with the protocol's rules:
// integers may be written as whole numbers only (1.5 is refused, 2.0 reads as 2), a missing
// key and null both mean absent, and a value of the wrong kind is a decoding error naming the
// key. Also the compact writer every phone record uses. Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace torvo {

// A JSON document that does not have the expected shape: not JSON at all, not an object, a
// required key missing or null, or a value of the wrong kind. `key` names the offending key
// (empty when the document itself is the problem). `reason` says what is wrong when the key
// alone does not, for example "Invalid number of keys found, expected one.".
struct JSONDecodingError {
  std::string key;
  std::string reason;
  bool operator==(const JSONDecodingError&) const = default;
};

namespace JSONFields {

template <typename T>
using Result = std::expected<T, JSONDecodingError>;

// The value of `key` in `object`, or null when the key is missing.
const nlohmann::json& member(const nlohmann::json& object, std::string_view key);

Result<std::optional<std::int64_t>> optionalInteger(const nlohmann::json& object, std::string_view key);
Result<std::int64_t> integer(const nlohmann::json& object, std::string_view key);
Result<std::optional<std::string>> optionalText(const nlohmann::json& object, std::string_view key);
Result<std::string> text(const nlohmann::json& object, std::string_view key);
Result<std::optional<bool>> optionalBoolean(const nlohmann::json& object, std::string_view key);
Result<bool> boolean(const nlohmann::json& object, std::string_view key);

// The integer a JSON number with a fraction or exponent stands for, when it is whole and
// within the 64-bit range.
std::optional<std::int64_t> wholeNumber(double value);

// Compact text with keys in ascending byte order, "/" unescaped and non-ASCII as UTF-8;
// invalid UTF-8 inside a text is written as U+FFFD instead of failing.
std::string compact(const nlohmann::json& value);

}  // namespace JSONFields
}  // namespace torvo
