#include "base/one_key_json.h"

namespace torvo::OneKeyJSON {

JSONDecodingError invalidKeys() { return JSONDecodingError{"", std::string(invalidKeyCount)}; }

std::expected<std::pair<std::string, const nlohmann::json*>, JSONDecodingError> find(
    const nlohmann::json& document, std::initializer_list<std::string_view> caseNames) {
  if (!document.is_object()) return std::unexpected(JSONDecodingError{""});
  const nlohmann::json* value = nullptr;
  std::string found;
  int count = 0;
  for (const std::string_view name : caseNames) {
    const auto it = document.find(name);
    if (it == document.end()) continue;
    ++count;
    found = name;
    value = &*it;
  }
  if (count != 1) return std::unexpected(invalidKeys());
  if (!value->is_object()) return std::unexpected(JSONDecodingError{found});
  return std::pair{found, value};
}

nlohmann::json make(std::string_view name, nlohmann::json payload) {
  nlohmann::json object = nlohmann::json::object();
  object[std::string(name)] = std::move(payload);
  return object;
}

}  // namespace torvo::OneKeyJSON
