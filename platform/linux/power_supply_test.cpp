#include "platform/linux/power_supply.h"

#include <fstream>

#include <gtest/gtest.h>

#include "platform/linux/power_linux_platform.h"
#include "power/power_mac_info.h"
#include "tests/test_support.h"

namespace torvo {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

const fs::path fixtures = fs::path(TORVO_SOURCE_DIR) / "tests/fixtures/power_supply";

PowerSource factsOf(const fs::path& folder) {
  return MacInfo::powerSource(LinuxPowerPlatform(LinuxPowerPaths{folder, "/nonexistent"}));
}

TEST(PowerSupplies, FixtureMachinesGiveTheirBatteryAndChargerFacts) {
  struct Case {
    const char* folder;
    PowerSource expected;
  };
  const Case cases[] = {
      {"laptop_charging", {57, true, true}},   // the kernel's capacity wins over energy counters
      {"laptop_battery", {75, false, false}},  // energy_now / energy_full
      {"battery_full_no_adapter", {98, false, true}},  // charge counters; not discharging
      {"desktop", {std::nullopt, false, true}},
      {"peripheral", {std::nullopt, false, true}},  // a mouse's battery is not the computer's
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    EXPECT_EQ(factsOf(fixtures / c.folder), c.expected);
  }
}

TEST(PowerSupplies, DescribesSuppliesWithThePlatformKeys) {
  const auto snapshot = PowerSupplies::read(fixtures / "laptop_battery");
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->providingType, "Battery Power");
  ASSERT_TRUE(snapshot->sources);
  EXPECT_EQ(*snapshot->sources,
            (std::vector<Json>{{{"Name", "ADP1"}, {"Type", "Mains"}},
                               {{"Name", "BAT0"},
                                {"Type", "InternalBattery"},
                                {"Current Capacity", 30000000},
                                {"Max Capacity", 40000000},
                                {"Is Charging", false}}}));
}

TEST(PowerSupplies, AFolderThatCannotBeListedGivesNoSnapshot) {
  EXPECT_EQ(PowerSupplies::read("/nonexistent/power_supply"), std::nullopt);
  EXPECT_EQ(factsOf("/nonexistent/power_supply"), (PowerSource{std::nullopt, false, true}));
}

TEST(PowerSupplies, ABatteryWithoutReadableCountersReadsAsEmpty) {
  test::TempDir dir;
  fs::create_directories(dir / "BAT0");
  std::ofstream(dir / "BAT0" / "type") << "Battery\n";
  std::ofstream(dir / "BAT0" / "capacity") << "n/a\n";
  std::ofstream(dir / "BAT0" / "status") << "Discharging\n";
  EXPECT_EQ(factsOf(dir.path()), (PowerSource{0, false, false}));
}

}  // namespace
}  // namespace torvo
