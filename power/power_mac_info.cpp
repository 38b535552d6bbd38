#include "power/power_mac_info.h"

#include <algorithm>
#include <cmath>

namespace torvo::MacInfo {
namespace {

constexpr PowerSource noBattery{std::nullopt, false, true};

std::int64_t integerOr(const nlohmann::json& description, const char* key, std::int64_t fallback) {
  const auto it = description.find(key);
  if (it == description.end() || !it->is_number_integer()) return fallback;
  if (it->is_number_unsigned()) {
    const auto value = it->get<std::uint64_t>();
    return value > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX
                                                          : static_cast<std::int64_t>(value);
  }
  return it->get<std::int64_t>();
}

}  // namespace

PowerSource powerSource(const PowerPlatform& platform) {
  const std::optional<PowerSnapshot> snapshot = platform.powerSources();
  if (!snapshot) return noBattery;
  const bool onCharger = snapshot->providingType == "AC Power";
  if (!snapshot->sources || snapshot->sources->empty()) return noBattery;

  const auto& sources = *snapshot->sources;
  const auto internal = std::find_if(sources.begin(), sources.end(), [](const nlohmann::json& d) {
    if (!d.is_object()) return false;
    const auto type = d.find("Type");
    return type != d.end() && type->is_string() && type->get<std::string>() == "InternalBattery";
  });
  if (internal == sources.end()) return noBattery;

  const std::int64_t current = integerOr(*internal, "Current Capacity", 0);
  const std::int64_t maximum = integerOr(*internal, "Max Capacity", 100);
  std::int64_t percent = current;
  if (maximum > 0) {
    // std::round rounds halves away from zero.
    const double ratio = static_cast<double>(current) / static_cast<double>(maximum) * 100.0;
    percent = static_cast<std::int64_t>(std::clamp(std::round(ratio), -1.0, 101.0));
  }
  percent = std::clamp<std::int64_t>(percent, 0, 100);

  const auto isCharging = internal->find("Is Charging");
  const bool charging =
      isCharging != internal->end() && isCharging->is_boolean() && isCharging->get<bool>();
  return PowerSource{percent, charging, onCharger};
}

std::string computerName(const PowerPlatform& platform) {
  if (auto name = platform.computerName()) return *name;
  if (auto name = platform.hostName()) return *name;
  return "Mac";
}

}  // namespace torvo::MacInfo
