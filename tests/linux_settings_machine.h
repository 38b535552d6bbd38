// A Linux machine in a scratch folder for the system-settings tests: wired interfaces under a
// sysfs-like net folder, ethtool and nmcli stand-ins (tests/fixtures/linux_settings) over
// state files, and an apt configuration root that the real apt-config reads through
// APT_CONFIG for as long as the value lives. Use one at a time (it sets the environment).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/linux/apt_updates.h"
#include "platform/linux/wake_on_lan.h"
#include "tests/test_support.h"

namespace torvo::test {

class LinuxSettingsMachine {
 public:
  LinuxSettingsMachine() {
    namespace fs = std::filesystem;
    const fs::path fixtures = fs::path(TORVO_SOURCE_DIR) / "tests/fixtures/linux_settings";
    fs::create_directories(dir_ / "tools");
    for (const char* tool : {"ethtool", "nmcli"}) {
      fs::copy_file(fixtures / tool, dir_ / "tools" / tool);
    }
    for (const char* folder : {"supports", "wol", "device", "profile"}) {
      fs::create_directories(machine() / folder);
    }
    fs::create_directories(aptParts());
    write(dir_ / "apt.conf", "Dir \"" + (dir_ / "root").string() + "/\";\n");
    if (const char* saved = std::getenv("APT_CONFIG")) saved_ = saved;
    ::setenv("APT_CONFIG", (dir_ / "apt.conf").c_str(), 1);
  }
  LinuxSettingsMachine(const LinuxSettingsMachine&) = delete;
  LinuxSettingsMachine& operator=(const LinuxSettingsMachine&) = delete;
  ~LinuxSettingsMachine() {
    if (saved_) {
      ::setenv("APT_CONFIG", saved_->c_str(), 1);
    } else {
      ::unsetenv("APT_CONFIG");
    }
  }

  static void write(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }

  // A wired Ethernet interface that supports `supports` and has `wakeOn` on; an empty
  // `supports` gives an interface ethtool knows nothing about.
  void addInterface(const std::string& name, const std::string& supports,
                    const std::string& wakeOn) const {
    std::filesystem::create_directories(net() / name / "device");
    write(net() / name / "type", "1\n");
    if (supports.empty()) return;
    write(machine() / "supports" / name, supports + "\n");
    write(machine() / "wol" / name, wakeOn + "\n");
  }
  // NetworkManager's active profile on the interface, with its Wake-on-LAN value.
  void addProfile(const std::string& interface, const std::string& profile,
                  const std::string& value) const {
    write(machine() / "device" / interface, profile + "\n");
    write(machine() / "profile" / profile, value + "\n");
  }
  std::string wakeOn(const std::string& interface) const {
    return firstLine(machine() / "wol" / interface);
  }
  std::string profileValue(const std::string& profile) const {
    return firstLine(machine() / "profile" / profile);
  }
  void failChanges() const { write(machine() / "fail-set", ""); }

  void installUnattendedUpgrades() const { write(unattendedUpgrade(), "#!/bin/sh\n"); }
  // A file of apt.conf.d, for example "20auto-upgrades".
  void aptFile(const std::string& name, const std::string& text) const {
    write(aptParts() / name, text);
  }

  WakeOnLan::Places wakeOnLanPlaces(bool withNetworkManager = true) const {
    return {net(), (dir_ / "tools/ethtool").string(),
            withNetworkManager ? (dir_ / "tools/nmcli").string() : (dir_ / "no-nmcli").string(),
            dir_ / "wake-on-lan"};
  }
  AptUpdates::Places aptPlaces() const {
    return {"/usr/bin/apt-config", unattendedUpgrade(), dropIn()};
  }

  std::filesystem::path net() const { return dir_ / "net"; }
  std::filesystem::path machine() const { return dir_ / "tools/machine"; }
  std::filesystem::path aptParts() const { return dir_ / "root/etc/apt/apt.conf.d"; }
  std::filesystem::path dropIn() const { return aptParts() / "99torvo-agent"; }
  std::filesystem::path record() const { return dir_ / "wake-on-lan"; }
  std::filesystem::path unattendedUpgrade() const { return dir_ / "root/usr/bin/unattended-upgrade"; }
  const std::filesystem::path& path() const { return dir_.path(); }

 private:
  static std::string firstLine(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
  }

  TempDir dir_;
  std::optional<std::string> saved_;
};

}  // namespace torvo::test
