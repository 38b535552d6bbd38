#include "platform/linux/linux_system_settings.h"

#include <unistd.h>

#include <chrono>

#include "base/console_user.h"
#include "platform/linux/autostart_items.h"

namespace torvo {
namespace {

constexpr const char* pmsetTool = "/usr/bin/pmset";
constexpr const char* defaultsTool = "/usr/bin/defaults";

std::optional<std::filesystem::path> homeOf(uid_t uid) {
  const auto found = account(uid);
  if (!found || !found->home.starts_with('/')) return std::nullopt;
  return std::filesystem::path(found->home);
}

std::optional<UpdateKey> updateKey(const std::string& name) {
  for (const auto key : allUpdateKeys) {
    if (text(key) == name) return key;
  }
  return std::nullopt;
}

}  // namespace

LinuxSystemSettings::Host LinuxSystemSettings::systemHost(const std::filesystem::path& dataDir) {
  Host host;
  host.wakeOnLan.record = dataDir / "wake-on-lan";
  host.effectiveUID = [] { return ::geteuid(); };
  host.consoleUID = [] { return consoleUID(); };
  host.home = homeOf;
  return host;
}

LinuxSystemSettings::LinuxSystemSettings(AgentLog& log, bool dryRun, Host host)
    : log_(log),
      dryRun_(dryRun),
      host_(std::move(host)),
      wakeOnLan_(host_.wakeOnLan),
      updates_(host_.updates) {}

std::string LinuxSystemSettings::pmsetCustom() {
  std::string report = "AC Power:\n";
  if (const auto on = wakeOnLan_.reading()) {
    report += std::string(" womp                 ") + (*on ? "1" : "0") + "\n";
  }
  return report;
}

std::optional<std::string> LinuxSystemSettings::readUpdate(UpdateKey key) {
  return updates_.read(key);
}

bool LinuxSystemSettings::run(const SystemCommand& command) {
  if (dryRun_) {
    log_.info(AgentLog::Category::agent, "would run: " + command.description());
    return true;
  }
  const int status = carryOut(command);
  log_.info(AgentLog::Category::agent,
            "ran: " + command.description() + " → " + std::to_string(status));
  return status == 0;
}

int LinuxSystemSettings::carryOut(const SystemCommand& command) {
  const auto& arguments = command.arguments;
  if (command.executable == pmsetTool && arguments.size() == 3 &&
      arguments[1] == text(PmsetKey::womp)) {
    return wakeOnLan_.set(arguments[2] != "0");
  }
  if (command.executable == defaultsTool && arguments.size() == 5 && arguments[0] == "write" &&
      arguments[3] == "-bool") {
    if (const auto key = updateKey(arguments[2])) return updates_.write(*key, arguments[4] == "true");
  }
  if (command.executable == defaultsTool && arguments.size() == 3 && arguments[0] == "delete") {
    if (const auto key = updateKey(arguments[2])) return updates_.remove(*key);
  }
  return -1;
}

std::optional<std::vector<LoginItem>> LinuxSystemSettings::loginItems() {
  if (dryRun_ || host_.effectiveUID() != 0) return std::nullopt;
  const auto uid = host_.consoleUID();
  if (!uid) return std::nullopt;
  const auto home = host_.home(*uid);
  if (!home) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(loginItemsTimeout);
  return AutostartItems::read({*home / ".config", host_.systemAutostart}, deadline);
}

}  // namespace torvo
