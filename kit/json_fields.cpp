#include "kit/json_fields.h"

#include <cmath>

namespace torvo::JSONFields {
namespace {

const nlohmann::json& nullValue() {
  static const nlohmann::json value;
  return value;
}

std::unexpected<JSONDecodingError> wrongKind(std::string_view key) {
  return std::unexpected(JSONDecodingError{std::string(key)});
}

}  // namespace

std::optional<std::int64_t> wholeNumber(double d) {
  // The range test keeps the conversion defined (2^63 itself is out of range).
  if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 || d >= 9223372036854775808.0) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(d);
}

const nlohmann::json& member(const nlohmann::json& object, std::string_view key) {
  if (!object.is_object()) return nullValue();
  const auto it = object.find(key);
  return it == object.end() ? nullValue() : *it;
}

Result<std::optional<std::int64_t>> optionalInteger(const nlohmann::json& object, std::string_view key) {
  const nlohmann::json& v = member(object, key);
  switch (v.type()) {
    case nlohmann::json::value_t::null:
      return std::optional<std::int64_t>();
    case nlohmann::json::value_t::number_integer:
      return std::optional<std::int64_t>(v.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned: {
      const auto u = v.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(INT64_MAX)) return wrongKind(key);
      return std::optional<std::int64_t>(static_cast<std::int64_t>(u));
    }
    case nlohmann::json::value_t::number_float: {
      const auto whole = wholeNumber(v.get<double>());
      if (!whole) return wrongKind(key);
      return std::optional<std::int64_t>(*whole);
    }
    default:
      return wrongKind(key);
  }
}

Result<std::int64_t> integer(const nlohmann::json& object, std::string_view key) {
  auto v = optionalInteger(object, key);
  if (!v) return std::unexpected(v.error());
  if (!*v) return wrongKind(key);
  return **v;
}

Result<std::optional<std::string>> optionalText(const nlohmann::json& object, std::string_view key) {
  const nlohmann::json& v = member(object, key);
  if (v.is_null()) return std::optional<std::string>();
  if (!v.is_string()) return wrongKind(key);
  return std::optional<std::string>(v.get_ref<const std::string&>());
}

Result<std::string> text(const nlohmann::json& object, std::string_view key) {
  auto v = optionalText(object, key);
  if (!v) return std::unexpected(v.error());
  if (!*v) return wrongKind(key);
  return std::move(**v);
}

Result<std::optional<bool>> optionalBoolean(const nlohmann::json& object, std::string_view key) {
  const nlohmann::json& v = member(object, key);
  if (v.is_null()) return std::optional<bool>();
  if (!v.is_boolean()) return wrongKind(key);
  return std::optional<bool>(v.get<bool>());
}

Result<bool> boolean(const nlohmann::json& object, std::string_view key) {
  auto v = optionalBoolean(object, key);
  if (!v) return std::unexpected(v.error());
  if (!*v) return wrongKind(key);
  return **v;
}

std::string compact(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace torvo::JSONFields
