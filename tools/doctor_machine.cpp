#include "tools/doctor_machine.h"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>

#include "base/console_user.h"
#include "kit/ntfy.h"
#include "kit/ntfy_http.h"
#include "platform/linux/wired_interfaces.h"
#include "setup/tool_runner.h"

namespace torvo::Doctor {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t busCallLimitMicroseconds = 5'000'000;

// The first line of a tool's answer without surrounding blanks; nothing when it said nothing.
std::optional<std::string> firstLine(const std::string& output) {
  std::string line = output.substr(0, output.find('\n'));
  const auto begin = line.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return std::nullopt;
  return line.substr(begin, line.find_last_not_of(" \t\r") - begin + 1);
}

std::string userName(std::uint32_t uid) {
  const auto found = account(uid);
  return found ? found->name : "";
}

struct BusUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};

std::string describe(const TransportError& error) {
  switch (error.kind()) {
    case TransportError::Kind::timedOut:
      return "no answer within " + std::to_string(LocalMachine::relayTimeout) + " seconds";
    case TransportError::Kind::cannotConnect:
      return std::string("cannot connect: ") + error.what();
    case TransportError::Kind::tls:
      return std::string("TLS failed: ") + error.what();
    case TransportError::Kind::cancelled:
    case TransportError::Kind::tooLarge:
    case TransportError::Kind::failed:
      break;
  }
  return error.what();
}

}  // namespace

ServiceState LocalMachine::service() {
  ServiceState state;
  std::error_code ignored;
  state.systemdRunning = fs::is_directory(places_.systemdRuntime, ignored);
  for (const auto& folder : places_.unitFolders) {
    if (fs::exists(folder / unitName, ignored)) {
      state.unitFile = folder / unitName;
      break;
    }
  }
  if (!state.systemdRunning) return state;
  // Both verbs print their answer whatever their exit status ("disabled" exits 1, "inactive"
  // exits 3), so only the printed word counts.
  const auto ask = [&](const std::string& verb) {
    return firstLine(ToolRunner::capture(places_.systemctl.string(),
                                         {verb, std::string(unitName)}, systemctlTimeout)
                         .output);
  };
  state.enabled = ask("is-enabled");
  state.active = ask("is-active");
  return state;
}

std::optional<User> LocalMachine::socketOwner() {
  struct stat info {};
  if (::stat(places_.socket.c_str(), &info) != 0) return std::nullopt;
  return User{info.st_uid, userName(info.st_uid)};
}

AgentClient::Result LocalMachine::agentStatus() {
  return AgentClient::blockingSend(AppRequest{AppRequests::GetStatus{}}, places_.socket,
                                   socketTimeout);
}

Outcome LocalMachine::logind() {
  sd_bus* raw = nullptr;
  int r = sd_bus_open_system(&raw);
  if (r < 0) return std::unexpected("cannot open the system bus: " + std::string(std::strerror(-r)));
  const std::unique_ptr<sd_bus, BusUnref> bus(raw);
  sd_bus_set_method_call_timeout(bus.get(), busCallLimitMicroseconds);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int preparing = 0;
  r = sd_bus_get_property_trivial(bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
                                  "org.freedesktop.login1.Manager", "PreparingForSleep", &error,
                                  'b', &preparing);
  if (r >= 0) return {};
  std::string reason = error.message != nullptr ? error.message : std::strerror(-r);
  sd_bus_error_free(&error);
  return std::unexpected(std::move(reason));
}

WakeClock::Probe LocalMachine::wakeClock() { return WakeClock::probe(places_.rtc); }

Outcome LocalMachine::relayHealth(const std::string& relay) {
  HttpRequest request;
  request.url = Ntfy::appendPath(relay, {"v1", "health"});
  request.timeoutSeconds = relayTimeout;
  try {
    const HttpSession session;
    const HttpCancel cancel;
    const HttpResponse response = session.send(request, cancel, false);
    if (response.status >= 200 && response.status <= 299) return {};
    return std::unexpected("HTTP status " + std::to_string(response.status));
  } catch (const TransportError& error) {
    return std::unexpected(describe(error));
  } catch (const std::exception& error) {
    return std::unexpected(std::string(error.what()));
  }
}

User LocalMachine::currentUser() {
  const std::uint32_t uid = ::getuid();
  return {uid, userName(uid)};
}

std::optional<User> LocalMachine::consoleUser() {
  const auto uid = consoleUID();
  if (!uid) return std::nullopt;
  return User{*uid, userName(*uid)};
}

std::vector<WiredInterface> LocalMachine::wiredInterfaces() {
  std::vector<WiredInterface> interfaces;
  for (const auto& name : WiredInterfaces::names(places_.net)) {
    interfaces.push_back(readWakeOnLan(name));
  }
  return interfaces;
}

WiredInterface LocalMachine::readWakeOnLan(const std::string& name) {
  WiredInterface result{.name = name};
  if (name.empty() || name.size() >= IFNAMSIZ) {
    result.detail = "not a valid interface name";
    return result;
  }
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    result.detail = std::string("no socket for the request: ") + std::strerror(errno);
    return result;
  }
  ethtool_wolinfo wol{};
  wol.cmd = ETHTOOL_GWOL;
  ifreq request{};
  std::memcpy(request.ifr_name, name.data(), name.size());
  request.ifr_data = reinterpret_cast<char*>(&wol);
  const int r = ::ioctl(fd, SIOCETHTOOL, &request);
  const int error = errno;
  ::close(fd);
  if (r != 0) {
    if (error == EOPNOTSUPP) {
      result.wakeOnLan = WakeOnLan::notSupported;
    } else if (error == EPERM || error == EACCES) {
      result.wakeOnLan = WakeOnLan::needsRoot;
    } else {
      result.detail = std::strerror(error);
    }
    return result;
  }
  if ((wol.supported & WAKE_MAGIC) == 0) {
    result.wakeOnLan = WakeOnLan::notSupported;
  } else {
    result.wakeOnLan = (wol.wolopts & WAKE_MAGIC) != 0 ? WakeOnLan::on : WakeOnLan::off;
  }
  return result;
}

}  // namespace torvo::Doctor
