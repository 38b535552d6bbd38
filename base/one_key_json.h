// Enumerations with payloads as JSON: one object with exactly one key, the case name, whose
// value is an object holding the case's values by label, or under "_0" when unlabelled.
// Keys that are no case name are ignored. Pure functions; safe from any thread.
#pragma once

#include <expected>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "kit/json_fields.h"

namespace torvo::OneKeyJSON {

// The description of a failure to find exactly one case name.
inline constexpr std::string_view invalidKeyCount = "Invalid number of keys found, expected one.";

// The error for an object without exactly one case name.
JSONDecodingError invalidKeys();

// The case name found and its value, which must be an object.
std::expected<std::pair<std::string, const nlohmann::json*>, JSONDecodingError> find(
    const nlohmann::json& document, std::initializer_list<std::string_view> caseNames);

// {name: payload}
nlohmann::json make(std::string_view name, nlohmann::json payload = nlohmann::json::object());

}  // namespace torvo::OneKeyJSON
