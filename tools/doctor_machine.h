// LocalMachine: the Doctor's probes on this computer. It asks systemctl about the unit (through
// ToolRunner, with a time limit), sends getStatus over the app socket and looks up who owns
// that socket file, reads a logind property
// over sd-bus, looks at the clocks under /sys/class/rtc, sends one health request to the relay,
// asks sd-login for the console user and reads each wired interface's Wake-on-LAN setting with
// the SIOCETHTOOL ioctl. Every probe blocks its caller for at most a few seconds and reports
// failure as a value. The folders it looks in are `Places`, so tests can point them elsewhere.
// Use one instance from one thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/doctor.h"

namespace torvo::Doctor {

class LocalMachine : public Machine {
 public:
  static constexpr std::int64_t systemctlTimeout = 10;
  static constexpr std::int64_t socketTimeout = 5;
  static constexpr std::int64_t relayTimeout = 5;

  struct Places {
    std::filesystem::path socket;
    std::vector<std::filesystem::path> unitFolders = {
        "/lib/systemd/system", "/usr/lib/systemd/system", "/etc/systemd/system"};
    // Present exactly when systemd is the service manager.
    std::filesystem::path systemdRuntime = "/run/systemd/system";
    std::filesystem::path systemctl = "/usr/bin/systemctl";
    std::filesystem::path rtc = "/sys/class/rtc";
    std::filesystem::path net = "/sys/class/net";
  };

  explicit LocalMachine(Places places) : places_(std::move(places)) {}

  ServiceState service() override;
  std::filesystem::path socketPath() override { return places_.socket; }
  std::optional<User> socketOwner() override;
  AgentClient::Result agentStatus() override;
  Outcome logind() override;
  WakeClock::Probe wakeClock() override;
  Outcome relayHealth(const std::string& relay) override;
  User currentUser() override;
  std::optional<User> consoleUser() override;
  std::vector<WiredInterface> wiredInterfaces() override;

  // The Wake-on-LAN setting of one interface, read with ETHTOOL_GWOL.
  static WiredInterface readWakeOnLan(const std::string& name);

 private:
  Places places_;
};

}  // namespace torvo::Doctor
