// AptUpdates against a scratch apt configuration read by the real apt-config.
#include "platform/linux/apt_updates.h"

#include <gtest/gtest.h>

#include "tests/linux_settings_machine.h"

namespace torvo {
namespace {

using test::LinuxSettingsMachine;

constexpr auto install = UpdateKey::AutomaticallyInstallMacOSUpdates;
constexpr auto download = UpdateKey::AutomaticDownload;
constexpr auto lists = UpdateKey::CriticalUpdateInstall;

TEST(AptUpdatesTest, ReadsApt_sOwnMeaningOfEachValue) {
  const LinuxSettingsMachine machine;
  machine.installUnattendedUpgrades();
  const AptUpdates updates(machine.aptPlaces());
  struct Case {
    std::string value;
    std::optional<std::string> reading;
  };
  const Case cases[] = {
      {"1", "1"},  {"0", "0"},       {"7", "1"},        {"always", "1"},
      {"true", "1"}, {"off", "0"},   {"sometimes", "sometimes"},
  };
  for (const auto& c : cases) {
    machine.aptFile("20auto-upgrades", "APT::Periodic::Unattended-Upgrade \"" + c.value + "\";\n");
    EXPECT_EQ(updates.read(install), c.reading) << c.value;
  }
  // A later file wins, as apt reads them; an option nobody sets has no value.
  machine.aptFile("50local", "APT::Periodic::Unattended-Upgrade \"0\";\n");
  EXPECT_EQ(updates.read(install), "0");
  EXPECT_EQ(updates.read(download), std::nullopt);
}

TEST(AptUpdatesTest, WithoutUnattendedUpgradesEverythingReadsPaused) {
  const LinuxSettingsMachine machine;
  machine.aptFile("20auto-upgrades", "APT::Periodic::Update-Package-Lists \"1\";\n");
  const AptUpdates updates(machine.aptPlaces());
  for (const auto key : allUpdateKeys) EXPECT_EQ(updates.read(key), "0");
  // Writing the value it already reads changes no file.
  EXPECT_EQ(updates.write(lists, false), 0);
  EXPECT_FALSE(std::filesystem::exists(machine.dropIn()));
}

TEST(AptUpdatesTest, PausingAndTakingBackLeavesTheMachine_sFilesAsTheyWere) {
  const LinuxSettingsMachine machine;
  machine.installUnattendedUpgrades();
  const std::string autoUpgrades =
      "APT::Periodic::Update-Package-Lists \"1\";\nAPT::Periodic::Unattended-Upgrade \"1\";\n";
  machine.aptFile("20auto-upgrades", autoUpgrades);
  const AptUpdates updates(machine.aptPlaces());

  for (const auto key : allUpdateKeys) EXPECT_EQ(updates.write(key, false), 0) << text(key);
  for (const auto key : allUpdateKeys) EXPECT_EQ(updates.read(key), "0") << text(key);
  const auto dropIn = test::readFile(machine.dropIn());
  EXPECT_NE(dropIn.find("APT::Periodic::Unattended-Upgrade \"0\";"), std::string::npos) << dropIn;

  // Back to the earlier readings: true where apt read true, unset where nothing was set.
  EXPECT_EQ(updates.write(install, true), 0);
  EXPECT_EQ(updates.write(lists, true), 0);
  EXPECT_EQ(updates.remove(download), 0);
  EXPECT_FALSE(std::filesystem::exists(machine.dropIn()));
  EXPECT_EQ(test::readFile(machine.aptParts() / "20auto-upgrades"), autoUpgrades);
  EXPECT_EQ(updates.read(install), "1");
  EXPECT_EQ(updates.read(download), std::nullopt);
}

TEST(AptUpdatesTest, AValueAnotherFileOverridesIsAFailureThatLeavesNothingBehind) {
  const LinuxSettingsMachine machine;
  machine.installUnattendedUpgrades();
  // Sorted after the drop-in, so apt takes its value last.
  machine.aptFile("99zz-local", "APT::Periodic::Unattended-Upgrade \"1\";\n");
  const AptUpdates updates(machine.aptPlaces());
  EXPECT_EQ(updates.write(install, false), 1);
  EXPECT_FALSE(std::filesystem::exists(machine.dropIn()));
  EXPECT_EQ(updates.read(install), "1");
}

TEST(AptUpdatesTest, ADropInThatCannotBeWrittenFails) {
  const LinuxSettingsMachine machine;
  machine.installUnattendedUpgrades();
  machine.aptFile("20auto-upgrades", "APT::Periodic::Unattended-Upgrade \"1\";\n");
  auto places = machine.aptPlaces();
  places.dropIn = machine.path() / "missing-folder" / "99torvo-agent";
  const AptUpdates updates(places);
  EXPECT_EQ(updates.write(install, false), 1);
  EXPECT_EQ(updates.read(install), "1");
}

}  // namespace
}  // namespace torvo
