// Doctor: `torvo-ctl doctor`, one look at everything the installed root service needs on this
// machine: the systemd unit, the app socket, logind, the wake-capable clock, the relay, the
// console user and Wake-on-LAN. `Machine` is the narrow set of probes the checks ask, abstract
// so the verdicts are tested without the machine (tools/doctor_machine.h is the real one,
// tests/fakes/fake_doctor_machine.h the fake). `run` asks each probe once, in order, from the
// calling thread and writes one line per check.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app_socket/agent_client.h"
#include "platform/linux/wake_clock.h"

namespace torvo::Doctor {

inline constexpr std::string_view unitName = "torvo-agent.service";

// What systemd says about the agent's unit.
struct ServiceState {
  // systemd is the service manager here (/run/systemd/system exists).
  bool systemdRunning = false;
  // Where the unit file was found; absent when it is in none of the unit folders.
  std::optional<std::filesystem::path> unitFile;
  // The answers of `systemctl is-enabled` and `systemctl is-active` ("enabled", "active", …);
  // absent when systemctl was not asked or gave no answer.
  std::optional<std::string> enabled;
  std::optional<std::string> active;

  bool operator==(const ServiceState&) const = default;
};

struct User {
  std::uint32_t uid = 0;
  std::string name;  // from the password database; empty when it has no entry

  bool operator==(const User&) const = default;
};

enum class WakeOnLan {
  on,            // supports magic-packet wakes and has them switched on
  off,           // supports them, switched off
  notSupported,  // the driver offers no magic-packet wake
  needsRoot,     // the kernel reads the setting only for a privileged caller
  unreadable,    // any other failure; see `detail`
};

struct WiredInterface {
  std::string name;
  WakeOnLan wakeOnLan = WakeOnLan::unreadable;
  std::string detail;  // why the setting could not be read; empty otherwise

  bool operator==(const WiredInterface&) const = default;
};

// Success, or why not in a few words.
using Outcome = std::expected<void, std::string>;

class Machine {
 public:
  virtual ~Machine() = default;

  virtual ServiceState service() = 0;
  // The socket the app-socket check connects to.
  virtual std::filesystem::path socketPath() = 0;
  // Who owns the socket file (the user the agent runs as); none when it cannot be looked at.
  virtual std::optional<User> socketOwner() = 0;
  // The agent's answer to getStatus over that socket.
  virtual AgentClient::Result agentStatus() = 0;
  // Whether org.freedesktop.login1 answers on the system bus.
  virtual Outcome logind() = 0;
  virtual WakeClock::Probe wakeClock() = 0;
  // One health request to the relay at `relay` (a base URL such as "https://ntfy.sh").
  virtual Outcome relayHealth(const std::string& relay) = 0;
  // The user running this check, and the user at the screen (none when nobody is).
  virtual User currentUser() = 0;
  virtual std::optional<User> consoleUser() = 0;
  // The non-virtual wired interfaces with their Wake-on-LAN setting, by name.
  virtual std::vector<WiredInterface> wiredInterfaces() = 0;
};

// The exit statuses of `run`.
enum Exit { usable = 0, blocked = 1 };

// Runs every check and writes its lines, then a one-line result, to `out`. Returns `blocked`
// when a check failed (the service is not running where systemd runs, the socket is
// unreachable or refuses this user, logind or the relay is unreachable), otherwise `usable`.
int run(Machine& machine, std::ostream& out);

// The base URL the relay check asks, from the host the agent's status names.
std::string relayURL(const std::string& relayHost);

}  // namespace torvo::Doctor
