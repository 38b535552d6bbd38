#include "setup/system_settings.h"

namespace torvo {
namespace {

constexpr const char* updatePreferences = "/Library/Preferences/com.apple.SoftwareUpdate";

}  // namespace

std::string_view text(PmsetScope scope) {
  return scope == PmsetScope::charger ? "-c" : "-a";
}

std::string_view text(PmsetKey key) { return key == PmsetKey::womp ? "womp" : "autorestart"; }

std::string_view text(UpdateKey key) {
  switch (key) {
    case UpdateKey::AutomaticallyInstallMacOSUpdates: return "AutomaticallyInstallMacOSUpdates";
    case UpdateKey::AutomaticDownload: return "AutomaticDownload";
    case UpdateKey::CriticalUpdateInstall: return "CriticalUpdateInstall";
  }
  return "";
}

std::string SystemCommand::description() const {
  const auto slash = executable.rfind('/');
  std::string out = slash == std::string::npos ? executable : executable.substr(slash + 1);
  for (const auto& argument : arguments) out += " " + argument;
  return out;
}

SystemCommand SystemCommand::pmset(PmsetScope scope, PmsetKey key, std::int64_t value) {
  return {"/usr/bin/pmset",
          {std::string(text(scope)), std::string(text(key)), std::to_string(value)}};
}

SystemCommand SystemCommand::writeUpdate(UpdateKey key, bool value) {
  return {"/usr/bin/defaults",
          {"write", updatePreferences, std::string(text(key)), "-bool", value ? "true" : "false"}};
}

SystemCommand SystemCommand::deleteUpdate(UpdateKey key) {
  return {"/usr/bin/defaults", {"delete", updatePreferences, std::string(text(key))}};
}

}  // namespace torvo
