#include "setup/real_system_settings.h"

#include <unistd.h>

#include "base/console_user.h"
#include "setup/background_items.h"
#include "setup/report_text.h"
#include "setup/tool_runner.h"

namespace torvo {
namespace {

constexpr std::int64_t loginItemsTimeout = 15;
constexpr const char* updatePreferences = "/Library/Preferences/com.apple.SoftwareUpdate";

}  // namespace

RealSystemSettings::Host RealSystemSettings::systemHost() {
  return {[] { return ::geteuid(); }, [] { return consoleUID(); }, BackgroundItems::tool};
}

RealSystemSettings::RealSystemSettings(AgentLog& log, bool dryRun, Host host)
    : log_(log), dryRun_(dryRun), host_(std::move(host)) {}

std::string RealSystemSettings::pmsetCustom() {
  return ToolRunner::capture("/usr/bin/pmset", {"-g", "custom"}).output;
}

std::optional<std::string> RealSystemSettings::readUpdate(UpdateKey key) {
  const auto result =
      ToolRunner::capture("/usr/bin/defaults", {"read", updatePreferences, std::string(text(key))});
  if (result.status != 0) return std::nullopt;
  return std::string(ReportText::trimmed(result.output, true));
}

bool RealSystemSettings::run(const SystemCommand& command) {
  if (dryRun_) {
    log_.info(AgentLog::Category::agent, "would run: " + command.description());
    return true;
  }
  const auto result = ToolRunner::capture(command.executable, command.arguments);
  log_.info(AgentLog::Category::agent,
            "ran: " + command.description() + " → " + std::to_string(result.status));
  return result.status == 0;
}

std::optional<std::vector<LoginItem>> RealSystemSettings::loginItems() {
  if (dryRun_ || host_.effectiveUID() != 0) return std::nullopt;
  const auto uid = host_.consoleUID();
  if (!uid) return std::nullopt;
  const std::vector<std::string> arguments(std::begin(BackgroundItems::arguments),
                                           std::end(BackgroundItems::arguments));
  const auto result = ToolRunner::capture(host_.backgroundItemsTool, arguments, loginItemsTimeout);
  if (result.status != 0) {
    log_.info(AgentLog::Category::agent, "sfltool dumpbtm → " + std::to_string(result.status));
    return std::nullopt;
  }
  return BackgroundItems::parse(result.output, *uid);
}

}  // namespace torvo
