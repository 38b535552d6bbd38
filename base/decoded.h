// The result of decoding one record from JSON, and helpers for records written as a series of
// fields: TORVO_ASSIGN(target, expression) stores the decoded value or returns its error from
// the enclosing function; optional fields are left out when absent and read as absent when
// missing or null.
#pragma once

#include <expected>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "kit/json_fields.h"

namespace torvo {

template <class T>
using Decoded = std::expected<T, JSONDecodingError>;

#define TORVO_ASSIGN(target, expression)                   \
  do {                                                     \
    auto result_ = (expression);                           \
    if (!result_) return std::unexpected(result_.error()); \
    target = std::move(*result_);                          \
  } while (false)

// The error for a document whose field `key` (empty: the document itself) is unreadable.
inline std::unexpected<JSONDecodingError> badField(std::string_view key) {
  return std::unexpected(JSONDecodingError{std::string(key)});
}

// Writes `value` under `key` only when it is present.
template <class T>
void putOptional(nlohmann::json& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = *value;
}

// The record of type T under `key`, or nothing when the key is missing or null.
template <class T>
Decoded<std::optional<T>> optionalRecord(const nlohmann::json& object, std::string_view key) {
  const nlohmann::json& value = JSONFields::member(object, key);
  if (value.is_null()) return std::optional<T>();
  auto decoded = T::fromJSON(value);
  if (!decoded) return std::unexpected(decoded.error());
  return std::optional<T>(std::move(*decoded));
}

}  // namespace torvo
