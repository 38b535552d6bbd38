// DaemonInstall builds the service's job description and the install and uninstall scripts
// that the desktop app runs with administrator rights; HelperFreshness tells whether the
// installed agent differs from the one inside the app bundle. Text only; safe from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace torvo {

namespace DaemonInstall {

// identifier "<agentLabel>": what the installed agent's signature must satisfy.
const std::string& agentRequirement();

// Shell quoting: the text in single quotes, each single quote written as '\''.
std::string q(std::string_view text);

// The job description naming the installed agent and the app allowed to connect.
std::string plist(std::string_view appPath);

// The install script (no line feed after its last line).
std::string installScript(std::string_view appPath, std::string_view agentSource);

// The uninstall script (no line feed after its last line).
std::string uninstallScript();

// An AppleScript command that runs `script` with administrator rights behind `prompt`.
std::string appleScript(std::string_view script, std::string_view prompt);

}  // namespace DaemonInstall

namespace HelperFreshness {

// Whether the two files' bytes differ; nothing when either cannot be read.
std::optional<bool> isOutdated(const std::filesystem::path& bundled,
                               const std::filesystem::path& installed);

}  // namespace HelperFreshness

}  // namespace torvo
