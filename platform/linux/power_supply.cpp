#include "platform/linux/power_supply.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace torvo::PowerSupplies {
namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute, without its line feed; absent when unreadable.
std::optional<std::string> attribute(const fs::path& supply, const char* name) {
  std::ifstream in(supply / name);
  if (!in) return std::nullopt;
  std::string line;
  if (!std::getline(in, line) && line.empty()) return std::nullopt;
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

std::optional<std::int64_t> integer(const fs::path& supply, const char* name) {
  const auto text = attribute(supply, name);
  if (!text || text->empty()) return std::nullopt;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (error != std::errc() || end != text->data() + text->size()) return std::nullopt;
  return value;
}

struct Supply {
  nlohmann::json description;
  bool battery = false;
  std::optional<std::string> status;  // batteries
  std::optional<bool> online;         // external supplies that report it
};

Supply readSupply(const fs::path& folder) {
  Supply supply;
  const std::string type = attribute(folder, "type").value_or("Unknown");
  supply.description["Name"] = folder.filename().string();
  if (type != "Battery") {
    supply.description["Type"] = type;
    if (const auto online = integer(folder, "online")) supply.online = *online != 0;
    return supply;
  }
  supply.battery = true;
  supply.status = attribute(folder, "status");
  supply.description["Type"] = "InternalBattery";
  supply.description["Is Charging"] = supply.status == "Charging";
  // The kernel's own percentage first; else the ratio of energy or charge counters.
  if (const auto capacity = integer(folder, "capacity")) {
    supply.description["Current Capacity"] = *capacity;
    supply.description["Max Capacity"] = 100;
    return supply;
  }
  for (const auto& [now, full] : {std::pair{"energy_now", "energy_full"},
                                  std::pair{"charge_now", "charge_full"}}) {
    const auto current = integer(folder, now);
    const auto maximum = integer(folder, full);
    if (current && maximum) {
      supply.description["Current Capacity"] = *current;
      supply.description["Max Capacity"] = *maximum;
      break;
    }
  }
  return supply;
}

}  // namespace

std::optional<PowerSnapshot> read(const std::filesystem::path& folder) {
  std::error_code error;
  fs::directory_iterator entries(folder, error);
  if (error) return std::nullopt;
  std::vector<fs::path> folders;
  for (const auto& entry : entries) {
    // sysfs lists each supply as a link to its device folder.
    if (entry.is_directory(error)) folders.push_back(entry.path());
  }
  std::sort(folders.begin(), folders.end());

  std::vector<nlohmann::json> sources;
  bool externalOnline = false;
  bool externalReports = false;
  std::optional<std::string> batteryStatus;
  bool haveBattery = false;
  for (const auto& path : folders) {
    if (attribute(path, "scope") == "Device") continue;
    Supply supply = readSupply(path);
    if (supply.battery) {
      if (!haveBattery) batteryStatus = supply.status;
      haveBattery = true;
    } else if (supply.online) {
      externalReports = true;
      externalOnline = externalOnline || *supply.online;
    }
    sources.push_back(std::move(supply.description));
  }

  PowerSnapshot snapshot;
  snapshot.sources = std::move(sources);
  if (externalOnline) {
    snapshot.providingType = "AC Power";
  } else if (haveBattery) {
    const bool batteryOnAC = !externalReports && batteryStatus && *batteryStatus != "Discharging" &&
                             *batteryStatus != "Unknown";
    snapshot.providingType = batteryOnAC ? "AC Power" : "Battery Power";
  }
  return snapshot;
}

}  // namespace torvo::PowerSupplies
