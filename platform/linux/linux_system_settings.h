// LinuxSystemSettings: the SystemSettings of a Linux machine. It takes the setup's commands in
// the form the desktop app and the backup know (pmset, defaults) and carries each out with the
// Linux service that stands for it: "womp" is wake by magic packet on the wired interfaces
// (WakeOnLan), the three update keys are the APT::Periodic options of unattended upgrades
// (AptUpdates), and the login items are the console user's XDG autostart entries and enabled
// systemd user units (AutostartItems). "autorestart" is a firmware setting Linux has no
// standard interface for: the power report never lists it, so the setup never offers it.
//
// The power report lists "womp" only where a wired interface can wake by magic packet, so a
// machine without one (or without ethtool) is skipped as not offering the setting. In dry run
// (simulate mode) it reads but only logs the commands that would change something, and lists
// no login items. Called from the agent's thread; each call blocks while its tools run.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "base/agent_log.h"
#include "platform/linux/apt_updates.h"
#include "platform/linux/wake_on_lan.h"
#include "setup/system_settings.h"

namespace torvo {

class LinuxSystemSettings : public SystemSettings {
 public:
  // What it reads and runs; tests point it at fixture folders and stand-in tools.
  struct Host {
    WakeOnLan::Places wakeOnLan;
    AptUpdates::Places updates;
    std::filesystem::path systemAutostart = "/etc/xdg/autostart";
    std::function<uid_t()> effectiveUID;
    std::function<std::optional<uid_t>()> consoleUID;
    // The user's home folder, or nothing for an unknown user.
    std::function<std::optional<std::filesystem::path>(uid_t)> home;
  };

  static constexpr std::int64_t loginItemsTimeout = 15;

  // This machine's places, with the Wake-on-LAN record in the agent's data folder.
  static Host systemHost(const std::filesystem::path& dataDir);

  LinuxSystemSettings(AgentLog& log, bool dryRun, Host host);

  std::string pmsetCustom() override;
  std::optional<std::string> readUpdate(UpdateKey key) override;
  bool run(const SystemCommand& command) override;
  std::optional<std::vector<LoginItem>> loginItems() override;

 private:
  // The exit status of carrying the command out: 0 done, -1 for a command with no
  // counterpart here.
  int carryOut(const SystemCommand& command);

  AgentLog& log_;
  const bool dryRun_;
  const Host host_;
  const WakeOnLan wakeOnLan_;
  const AptUpdates updates_;
};

}  // namespace torvo
