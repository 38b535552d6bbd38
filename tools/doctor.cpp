#include "tools/doctor.h"

#include <cerrno>
#include <cstring>
#include <iomanip>

#include "app_socket/socket_io.h"
#include "base/paths.h"
#include "kit/url.h"

namespace torvo::Doctor {
namespace {

enum class Mark { ok, warn, fail, skip };

// One line of the report: "<mark>  <check>: <text> -- fix: <fix>".
struct Line {
  Mark mark = Mark::ok;
  std::string check;
  std::string text;
  std::string fix;
};

const std::string unit(unitName);

// "alice (uid 1000)", or "uid 1000" for a user without a name.
std::string who(const User& user) {
  const std::string uid = "uid " + std::to_string(user.uid);
  return user.name.empty() ? uid : user.name + " (" + uid + ")";
}

std::string nameOf(const User& user) {
  return user.name.empty() ? "uid " + std::to_string(user.uid) : user.name;
}

Line serviceLine(const ServiceState& state) {
  const std::string check = "service";
  if (!state.systemdRunning) {
    return {Mark::warn, check,
            "systemd is not the service manager here (no /run/systemd/system), so " + unit +
                " cannot run; the agent has to be started some other way",
            ""};
  }
  if (!state.unitFile) {
    return {Mark::fail, check,
            unit + " is not installed (no unit file in /lib/systemd/system, "
                   "/usr/lib/systemd/system or /etc/systemd/system)",
            "install the torvo-agent package"};
  }
  const std::string enabled = state.enabled.value_or("no answer");
  // "static" and "generated" units have no [Install] section of their own and start with
  // whatever pulls them in; they cannot be enabled any further.
  const bool startsAtBoot = enabled == "enabled" || enabled == "static" || enabled == "generated";
  if (state.active != "active") {
    return {Mark::fail, check,
            unit + " is installed but not running (systemctl is-active: " +
                state.active.value_or("no answer") + ")",
            startsAtBoot ? "sudo systemctl restart " + unit + ", and see why it stopped with "
                               "journalctl -u " + unit
                         : "sudo systemctl enable --now " + unit};
  }
  if (!startsAtBoot) {
    return {Mark::warn, check,
            unit + " is running but not enabled (systemctl is-enabled: " + enabled +
                "), so it will not start after a restart",
            "sudo systemctl enable " + unit};
  }
  return {Mark::ok, check, unit + " is installed, enabled and running", ""};
}

// The refusal of a connection, said in terms of who this user is, who runs the agent and who
// sits at the screen.
Line refusedLine(const std::string& path, const std::string& how, const User& me,
                 const std::optional<User>& owner, const std::optional<User>& console) {
  const std::string check = "app socket";
  const Line wrongProgram{Mark::fail, check,
                          path + " refuses this program" + how + ": " + who(me) +
                              " may use the agent, but it accepts only the installed torvo-ctl",
                          "run the torvo-ctl installed with the agent"};
  // Only the root service serves other users; an agent of any other user is in simulate mode
  // and serves its own user alone, whoever sits at the screen.
  if (owner && owner->uid != 0) {
    if (owner->uid == me.uid) return wrongProgram;
    return {Mark::fail, check,
            path + " refuses this user" + how + ": it belongs to an agent in simulate mode run "
                   "by " + who(*owner) + ", which accepts only that user",
            "run torvo-ctl as " + nameOf(*owner)};
  }
  if (console && console->uid != me.uid) {
    return {Mark::fail, check,
            path + " refuses this user" + how + ": " + who(me) + " is not the console user " +
                who(*console),
            "run torvo-ctl as " + nameOf(*console) + ", the user at the screen"};
  }
  if (!console && me.uid != 0) {
    return {Mark::fail, check,
            path + " refuses this user" + how + ": " + who(me) +
                " is not root, and with no one at the screen the agent accepts only root",
            "run it as root (sudo torvo-ctl doctor), or log in at the screen"};
  }
  return wrongProgram;
}

struct SocketCheck {
  Line line;
  std::optional<AgentStatus> status;
};

// The verdict on the agent's answer over `socket`, owned by `owner`.
SocketCheck socketCheck(const std::filesystem::path& socket, const std::optional<User>& owner,
                        const AgentClient::Result& result, bool systemdRunning, const User& me,
                        const std::optional<User>& console) {
  const std::string check = "app socket";
  const std::string path = socket.string();
  if (result) {
    if (const auto* answer = std::get_if<AppResponses::Status>(&result->value)) {
      return {{Mark::ok, check,
               path + " answers: torvo-agent " + answer->status.version +
                   (answer->status.simulate ? " in simulate mode" : ""),
               ""},
              answer->status};
    }
    return {{Mark::fail, check,
             path + " answered the status request with \"" +
                 std::string(result->caseName()) + "\"",
             "use the torvo-ctl that came with the agent"}};
  }
  std::string notRunningFix =
      "start the agent that owns this socket, or point TORVO_AGENT_SOCKET (or --socket) at the "
      "socket of the running one";
  if (socket == AgentPaths::system().socket) {
    notRunningFix = systemdRunning
                        ? "start the service: sudo systemctl start " + unit
                        : "start the root service: sudo torvo-agent --allowed-client "
                          "<the installed Torvo.app>";
  }
  const std::string unreadableFix = "use the torvo-ctl that came with the agent";
  const auto* frame = std::get_if<FrameError>(&result.error());
  if (frame == nullptr) {
    return {{Mark::fail, check,
             "the agent's answer over " + path + " could not be read (" +
                 AgentClient::describe(result.error()) + ")",
             unreadableFix}};
  }
  switch (frame->kind()) {
    case FrameError::Kind::connect:
      switch (frame->code()) {
        case ENOENT:
          return {{Mark::fail, check, "no socket at " + path + ": the agent is not running",
                   notRunningFix}};
        case ECONNREFUSED:
          return {{Mark::fail, check,
                   "nothing listens on " + path + ": the agent is not running",
                   notRunningFix}};
        case EACCES:
        case EPERM:
          return {refusedLine(path, " (no permission to connect)", me, owner, console)};
        case IO::pathTooLong:
          return {{Mark::fail, check, path + " is too long for a socket path",
                   "give a shorter path with --socket or TORVO_AGENT_SOCKET"}};
        default:
          return {{Mark::fail, check,
                   "cannot connect to " + path + ": " + std::strerror(frame->code()),
                   notRunningFix}};
      }
    case FrameError::Kind::peerRejected:
      return {refusedLine(path, "", me, owner, console)};
    case FrameError::Kind::timeout:
      return {{Mark::fail, check, "the agent at " + path + " did not answer in time",
               "see its log: journalctl -u " + unit + " or /var/log/torvo/agent.log"}};
    case FrameError::Kind::tooLarge:
    case FrameError::Kind::truncated:
      break;
  }
  return {{Mark::fail, check,
           "the agent's answer over " + path + " could not be read (" + frame->text() + ")",
           unreadableFix}};
}

Line logindLine(const Outcome& outcome) {
  const std::string check = "logind";
  if (outcome) return {Mark::ok, check, "org.freedesktop.login1 answers on the system bus", ""};
  return {Mark::fail, check,
          "org.freedesktop.login1 does not answer on the system bus (" + outcome.error() +
              "), so the agent cannot hold this machine awake",
          "make sure dbus and systemd-logind (or elogind) run"};
}

Line wakeClockLine(const WakeClock::Probe& probe) {
  const std::string check = "wake clock";
  if (probe.canWake) {
    return {Mark::ok, check,
            "a real-time clock with wake alarms: scheduled wakes from sleep work", ""};
  }
  return {Mark::warn, check,
          probe.reason + ": Wakes still work, scheduled wakes from sleep do not", ""};
}

Line relayLine(Machine& machine, const std::optional<AgentStatus>& status) {
  const std::string check = "relay";
  if (!status) {
    return {Mark::skip, check,
            "not checked: its address comes from the agent's status, which the app socket "
            "check could not read",
            ""};
  }
  if (status->relayHost.empty()) {
    return {Mark::fail, check, "the agent names no relay",
            "restart the agent with --relay URL"};
  }
  const std::string url = relayURL(status->relayHost);
  const Outcome health = machine.relayHealth(url);
  const std::optional<bool> agentReached = status->relayReachable;
  if (health) {
    return {Mark::ok, check,
            url + " answers its health check" +
                (agentReached == false
                     ? " (the agent's last attempt failed; it asks again at its next check-in)"
                     : ""),
            ""};
  }
  if (agentReached == true) {
    return {Mark::warn, check,
            url + " did not answer here (" + health.error() +
                "), but the agent reached its relay at its last check-in (its status names "
                "only the host " + status->relayHost + ", not the scheme, port or path)",
            ""};
  }
  return {Mark::fail, check,
          url + " did not answer (" + health.error() + ")" +
              (agentReached == false ? ", and the agent's last attempt failed too"
                                     : ", and the agent has not reached it yet"),
          "check this machine's network, name resolution, proxy and firewall for " +
              status->relayHost};
}

Line consoleLine(const std::optional<User>& console) {
  const std::string check = "console user";
  if (console) return {Mark::ok, check, who(*console) + " is at the screen", ""};
  return {Mark::warn, check, "no one at the screen: only root may use the agent", ""};
}

std::vector<Line> wakeOnLanLines(const std::vector<WiredInterface>& interfaces) {
  const std::string check = "wake-on-lan";
  if (interfaces.empty()) {
    return {{Mark::warn, check,
             "no wired network interface, so phones cannot wake this machine over the network",
             ""}};
  }
  std::vector<Line> lines;
  for (const auto& interface : interfaces) {
    const std::string name = interface.name + ": ";
    switch (interface.wakeOnLan) {
      case WakeOnLan::on:
        lines.push_back({Mark::ok, check, name + "supported, on", ""});
        break;
      case WakeOnLan::off:
        lines.push_back({Mark::warn, check, name + "supported, off",
                         "the setup's wake for network access turns it on "
                         "(torvo-ctl setup-apply --wake-for-network)"});
        break;
      case WakeOnLan::notSupported:
        lines.push_back({Mark::warn, check, name + "not supported", ""});
        break;
      case WakeOnLan::needsRoot:
        lines.push_back({Mark::warn, check, name + "unknown: only root may read the setting",
                         "run sudo torvo-ctl doctor to see it"});
        break;
      case WakeOnLan::unreadable:
        lines.push_back({Mark::warn, check, name + "unknown: " + interface.detail, ""});
        break;
    }
  }
  return lines;
}

const char* marker(Mark mark) {
  switch (mark) {
    case Mark::ok: return "ok";
    case Mark::warn: return "WARN";
    case Mark::fail: return "FAIL";
    case Mark::skip: return "SKIP";
  }
  return "?";
}

}  // namespace

std::string relayURL(const std::string& relayHost) {
  // A relay text that is not a URL with a host comes through whole; it is used as it is when
  // it reads as one after all.
  if (const auto url = Url::parse(relayHost); url && url->host && !url->host->empty()) {
    return relayHost;
  }
  return "https://" + relayHost;
}

int run(Machine& machine, std::ostream& out) {
  const User me = machine.currentUser();
  const std::optional<User> console = machine.consoleUser();

  std::vector<Line> lines;
  const ServiceState service = machine.service();
  lines.push_back(serviceLine(service));
  const SocketCheck socket = socketCheck(machine.socketPath(), machine.socketOwner(),
                                         machine.agentStatus(), service.systemdRunning, me,
                                         console);
  lines.push_back(socket.line);
  lines.push_back(logindLine(machine.logind()));
  lines.push_back(wakeClockLine(machine.wakeClock()));
  lines.push_back(relayLine(machine, socket.status));
  lines.push_back(consoleLine(console));
  for (auto& line : wakeOnLanLines(machine.wiredInterfaces())) lines.push_back(std::move(line));

  int failed = 0;
  int warned = 0;
  for (const auto& line : lines) {
    failed += line.mark == Mark::fail;
    warned += line.mark == Mark::warn;
    out << std::left << std::setw(6) << marker(line.mark) << line.check << ": " << line.text;
    if (!line.fix.empty()) out << " -- fix: " << line.fix;
    out << "\n";
  }
  out << "result: "
      << (failed == 0 ? std::string("nothing blocks use")
                      : std::to_string(failed) + (failed == 1 ? " check failed" : " checks failed"))
      << (warned == 0 ? ""
                      : ", " + std::to_string(warned) + (warned == 1 ? " warning" : " warnings"))
      << "\n";
  return failed == 0 ? usable : blocked;
}

}  // namespace torvo::Doctor
