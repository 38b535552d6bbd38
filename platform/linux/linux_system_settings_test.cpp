// LinuxSystemSettings under the one-time setup: apply, status and undo against a scratch
// machine (stand-in ethtool and nmcli, a scratch apt configuration read by the real
// apt-config, fixture autostart folders).
#include "platform/linux/linux_system_settings.h"

#include <gtest/gtest.h>

#include "setup/setup.h"
#include "tests/linux_settings_machine.h"

namespace torvo {
namespace {

using test::LinuxSettingsMachine;

constexpr std::int64_t now = 1'700'000'000;
constexpr SetupChoices everything{true, true, true};

class LinuxSystemSettingsTest : public ::testing::Test {
 protected:
  LinuxSystemSettings::Host host() const {
    LinuxSystemSettings::Host host;
    host.wakeOnLan = machine_.wakeOnLanPlaces();
    host.updates = machine_.aptPlaces();
    host.systemAutostart = machine_.path() / "xdg-autostart";
    host.effectiveUID = [this] { return euid_; };
    host.consoleUID = [this] { return console_; };
    host.home = [this](uid_t uid) -> std::optional<std::filesystem::path> {
      if (uid != 1000) return std::nullopt;
      return machine_.path() / "home";
    };
    return host;
  }

  LinuxSettingsMachine machine_;
  test::RecordingLog log_;
  uid_t euid_ = 0;
  std::optional<uid_t> console_ = 1000;
};

TEST_F(LinuxSystemSettingsTest, TheReportListsWakeForNetworkOnlyWhereAnInterfaceOffersIt) {
  LinuxSystemSettings settings(log_, false, host());
  EXPECT_TRUE(Setup::parseAC(settings.pmsetCustom()).empty());
  machine_.addInterface("eth0", "pumbg", "d");
  EXPECT_EQ(Setup::parseAC(settings.pmsetCustom()), (std::map<std::string, std::int64_t>{{"womp", 0}}));
  machine_.addInterface("eth0", "pumbg", "g");
  EXPECT_EQ(Setup::parseAC(settings.pmsetCustom()), (std::map<std::string, std::int64_t>{{"womp", 1}}));
}

TEST_F(LinuxSystemSettingsTest, ApplyThenUndoPutsTheMachineBack) {
  machine_.addInterface("eth0", "pumbg", "d");
  machine_.installUnattendedUpgrades();
  const std::string autoUpgrades =
      "APT::Periodic::Update-Package-Lists \"1\";\nAPT::Periodic::Unattended-Upgrade \"1\";\n";
  machine_.aptFile("20auto-upgrades", autoUpgrades);
  LinuxSystemSettings settings(log_, false, host());

  const auto applied = Setup::apply(everything, settings, std::nullopt, now);
  EXPECT_TRUE(applied.failed.empty()) << applied.failed.front();
  // Restart after a power cut is not offered on Linux, so nothing of it is recorded.
  EXPECT_EQ(applied.backup.pmset, (std::map<std::string, std::int64_t>{{"womp", 0}}));
  EXPECT_EQ(applied.backup.updates,
            (std::map<std::string, std::optional<bool>>{{"AutomaticallyInstallMacOSUpdates", true},
                                                        {"AutomaticDownload", std::nullopt},
                                                        {"CriticalUpdateInstall", true}}));
  EXPECT_TRUE(log_.has("info", "ran: pmset -c womp 1 → 0"));
  EXPECT_TRUE(log_.has("info",
                       "ran: defaults write /Library/Preferences/com.apple.SoftwareUpdate "
                       "AutomaticDownload -bool false → 0"));
  const auto status = Setup::status(settings, applied.backup);
  EXPECT_EQ(status.wakeForNetwork, true);
  EXPECT_EQ(status.restartAfterPowerCut, std::nullopt);
  EXPECT_TRUE(status.updatesPaused);
  EXPECT_EQ(machine_.wakeOn("eth0"), "g");

  const auto undone = Setup::undo(applied.backup, settings);
  EXPECT_TRUE(undone.failed.empty()) << undone.failed.front();
  EXPECT_EQ(undone.restored.size(), 4u);
  EXPECT_EQ(machine_.wakeOn("eth0"), "d");
  EXPECT_FALSE(std::filesystem::exists(machine_.dropIn()));
  EXPECT_FALSE(std::filesystem::exists(machine_.record()));
  EXPECT_EQ(test::readFile(machine_.aptParts() / "20auto-upgrades"), autoUpgrades);
  EXPECT_FALSE(Setup::status(settings, std::nullopt).updatesPaused);
}

TEST_F(LinuxSystemSettingsTest, WhatTheMachineLacksIsNotOfferedAndUndoesCleanly) {
  // No wired interface, no unattended upgrades: nothing to change, nothing failed.
  LinuxSystemSettings settings(log_, false, host());
  const auto applied = Setup::apply(everything, settings, std::nullopt, now);
  EXPECT_TRUE(applied.failed.empty());
  EXPECT_TRUE(applied.backup.pmset.empty());
  EXPECT_TRUE(log_.lines().empty()) << "ran a command: " << log_.lines().front().message;
  EXPECT_TRUE(Setup::status(settings, applied.backup).updatesPaused);
  const auto undone = Setup::undo(applied.backup, settings);
  EXPECT_TRUE(undone.failed.empty());
  EXPECT_FALSE(std::filesystem::exists(machine_.dropIn()));
}

TEST_F(LinuxSystemSettingsTest, FailuresAreReportedUnderTheSetting_sName) {
  machine_.addInterface("eth0", "pumbg", "d");
  machine_.failChanges();
  machine_.installUnattendedUpgrades();
  machine_.aptFile("99zz-local", "APT::Periodic::Unattended-Upgrade \"1\";\n");
  LinuxSystemSettings settings(log_, false, host());
  const auto applied = Setup::apply(everything, settings, std::nullopt, now);
  EXPECT_EQ(applied.failed,
            (std::vector<std::string>{"Automatic updates", "Wake for network access"}));
}

TEST_F(LinuxSystemSettingsTest, DryRunOnlyLogsAndCommandsWithoutACounterpartFail) {
  machine_.addInterface("eth0", "pumbg", "d");
  LinuxSystemSettings dry(log_, true, host());
  EXPECT_TRUE(dry.run(SystemCommand::pmset(PmsetScope::charger, PmsetKey::womp, 1)));
  EXPECT_TRUE(log_.has("info", "would run: pmset -c womp 1"));
  EXPECT_EQ(machine_.wakeOn("eth0"), "d");

  LinuxSystemSettings settings(log_, false, host());
  EXPECT_FALSE(settings.run(SystemCommand::pmset(PmsetScope::all, PmsetKey::autorestart, 1)));
  EXPECT_TRUE(log_.has("info", "ran: pmset -a autorestart 1 → -1"));
  EXPECT_FALSE(settings.run({"/usr/bin/defaults", {"write", "x", "NoSuchKey", "-bool", "false"}}));
}

TEST_F(LinuxSystemSettingsTest, LoginItemsOnlyForRootAndTheConsoleUser) {
  LinuxSettingsMachine::write(machine_.path() / "home/.config/autostart/editor.desktop",
                              "[Desktop Entry]\nType=Application\nName=Editor\nExec=/usr/bin/editor\n");
  const auto names = [](const std::optional<std::vector<LoginItem>>& items) {
    std::vector<std::string> out;
    for (const auto& item : items.value_or(std::vector<LoginItem>{})) out.push_back(item.name);
    return out;
  };
  EXPECT_EQ(names(LinuxSystemSettings(log_, false, host()).loginItems()),
            std::vector<std::string>{"Editor"});
  EXPECT_EQ(LinuxSystemSettings(log_, true, host()).loginItems(), std::nullopt) << "dry run";
  console_ = 1001;
  EXPECT_EQ(LinuxSystemSettings(log_, false, host()).loginItems(), std::nullopt) << "no home";
  console_ = std::nullopt;
  EXPECT_EQ(LinuxSystemSettings(log_, false, host()).loginItems(), std::nullopt);
  console_ = 1000;
  euid_ = 1000;
  EXPECT_EQ(LinuxSystemSettings(log_, false, host()).loginItems(), std::nullopt);
}

}  // namespace
}  // namespace torvo
