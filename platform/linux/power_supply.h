// PowerSupplies: reads the power-source snapshot from the kernel's power_supply class folder
// (normally /sys/class/power_supply; tests pass a fixture folder). Each supply folder gives
// "type", "scope", "capacity" (or "energy_now"/"energy_full", or "charge_now"/"charge_full"),
// "status" and "online". Supplies of scope "Device" (a mouse's or headset's battery) are left
// out. A battery becomes a description with "Type" "InternalBattery", "Current Capacity",
// "Max Capacity" and "Is Charging"; any other supply a description with its kernel type.
// The providing type is "AC Power" when an external supply is online (or, where no external
// supply reports, the battery is not discharging), else "Battery Power" when there is a
// battery. Stateless; safe from any thread.
#pragma once

#include <filesystem>
#include <optional>

#include "power/power_platform.h"

namespace torvo::PowerSupplies {

// Absent when the folder cannot be listed; sources in folder-name order.
std::optional<PowerSnapshot> read(const std::filesystem::path& folder);

}  // namespace torvo::PowerSupplies
