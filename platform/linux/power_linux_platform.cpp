#include "platform/linux/power_linux_platform.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>

#include "platform/linux/power_logind.h"
#include "platform/linux/power_machine_name.h"
#include "platform/linux/power_supply.h"

extern char** environ;

namespace torvo {

LinuxPowerPlatform::LinuxPowerPlatform(LinuxPowerPaths paths, clockid_t wakeClock)
    : paths_(std::move(paths)), wakes_(wakeClock) {}

std::expected<AssertionID, int> LinuxPowerPlatform::createAssertion(
    const AssertionRequest& request) {
  const char* what = nullptr;
  if (request.type == "PreventUserIdleSystemSleep") {
    // Sleep for want of user activity comes either from logind's own IdleAction, which honours
    // "idle" locks, or from a desktop's power manager asking logind to suspend, which only
    // "sleep" locks hold off; a check-in on a just-woken machine must survive both.
    what = "idle:sleep";
  } else if (request.type == "PreventSystemSleep") {
    what = "sleep";
  } else {
    return std::unexpected(-EINVAL);
  }
  const auto fd = Logind::inhibit(what, "Torvo", request.name, "block");
  if (!fd) return std::unexpected(fd.error());
  std::optional<InhibitorLocks::Clock::duration> limit;
  if (request.timeoutSeconds) limit = std::chrono::seconds(*request.timeoutSeconds);
  return locks_.add(*fd, limit);
}

void LinuxPowerPlatform::releaseAssertion(AssertionID id) { locks_.release(id); }

void LinuxPowerPlatform::declareUserActivity(const std::string&) {
  // logind has no named activity declaration; the console session is simply marked active.
  Logind::markConsoleActive();
}

int LinuxPowerPlatform::schedulePowerEvent(double time, const std::string& owner,
                                           const std::string& type) {
  return wakes_.schedule(time, owner, type);
}

void LinuxPowerPlatform::cancelPowerEvent(double time, const std::string& owner,
                                          const std::string& type) {
  wakes_.cancel(time, owner, type);
}

std::optional<nlohmann::json> LinuxPowerPlatform::scheduledPowerEvents() { return wakes_.list(); }

std::optional<PowerSnapshot> LinuxPowerPlatform::powerSources() const {
  return PowerSupplies::read(paths_.powerSupplies);
}

std::optional<std::string> LinuxPowerPlatform::computerName() const {
  return MachineName::prettyHostnameIn(paths_.machineInfo);
}

std::optional<std::string> LinuxPowerPlatform::hostName() const { return MachineName::hostName(); }

void LinuxPowerPlatform::runTool(const std::string& path, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace torvo
