#include "power/power_mac_info.h"

#include <gtest/gtest.h>

#include "tests/fakes/fake_power_platform.h"

namespace torvo {
namespace {

using Json = nlohmann::json;

Json battery(Json fields) {
  fields["Type"] = "InternalBattery";
  return fields;
}

TEST(MacInfoPowerSource, ReadsTheFirstInternalBattery) {
  const PowerSource none{std::nullopt, false, true};
  struct Case {
    const char* name;
    std::optional<PowerSnapshot> snapshot;
    PowerSource expected;
  };
  const Case cases[] = {
      {"no snapshot", std::nullopt, none},
      {"no source list", PowerSnapshot{"Battery Power", std::nullopt}, none},
      {"empty source list", PowerSnapshot{"Battery Power", std::vector<Json>{}}, none},
      {"sources but no internal battery, not on AC",
       PowerSnapshot{"Battery Power", std::vector<Json>{{{"Type", "UPS"}}}}, none},
      {"4500 of 5000 is 90",
       PowerSnapshot{"AC Power", std::vector<Json>{battery(
                                     {{"Current Capacity", 4500}, {"Max Capacity", 5000},
                                      {"Is Charging", true}})}},
       {90, true, true}},
      {"max 0 keeps the current value",
       PowerSnapshot{"Battery Power",
                     std::vector<Json>{battery({{"Current Capacity", 87}, {"Max Capacity", 0}})}},
       {87, false, false}},
      {"130 without a max is clamped to 100",
       PowerSnapshot{"AC Power", std::vector<Json>{battery({{"Current Capacity", 130}})}},
       {100, false, true}},
      {"a half rounds away from zero",
       PowerSnapshot{"AC Power",
                     std::vector<Json>{battery({{"Current Capacity", 1}, {"Max Capacity", 8}})}},
       {13, false, true}},
      {"negative capacity is clamped to 0",
       PowerSnapshot{"AC Power", std::vector<Json>{battery({{"Current Capacity", -5}})}},
       {0, false, true}},
      {"mistyped fields take their defaults",
       PowerSnapshot{"AC Power", std::vector<Json>{battery({{"Current Capacity", 45.5},
                                                            {"Max Capacity", "50"},
                                                            {"Is Charging", 1}})}},
       {0, false, true}},
      {"the first internal battery wins, after other sources",
       PowerSnapshot{std::nullopt,
                     std::vector<Json>{{{"Type", "UPS"}, {"Current Capacity", 10}},
                                       battery({{"Current Capacity", 60}}),
                                       battery({{"Current Capacity", 20}})}},
       {60, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePowerPlatform platform;
    platform.setSnapshot(c.snapshot);
    EXPECT_EQ(MacInfo::powerSource(platform), c.expected);
  }
}

TEST(MacInfoComputerName, FallsBackToTheHostNameThenMac) {
  struct Case {
    std::optional<std::string> computer;
    std::optional<std::string> host;
    std::string expected;
  };
  for (const Case& c : {Case{"Anna's Laptop", "anna", "Anna's Laptop"},
                        Case{std::nullopt, "anna", "anna"},
                        Case{std::nullopt, std::nullopt, "Mac"}}) {
    FakePowerPlatform platform;
    platform.setNames(c.computer, c.host);
    EXPECT_EQ(MacInfo::computerName(platform), c.expected);
  }
}

}  // namespace
}  // namespace torvo
