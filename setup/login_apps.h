// LoginApps: the known assistant, editor and remote-access apps, the scan that finds them in
// the application folders, and the matching of found apps against the console user's login
// items. The scan reads the disk only through AppFileSystem. Stateless functions over plain
// values; safe from any thread.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/setup_records.h"
#include "setup/app_file_system.h"

namespace torvo {

enum class LoginAppGroup { assistants, remoteAccess, other };

inline constexpr LoginAppGroup allLoginAppGroups[] = {
    LoginAppGroup::assistants, LoginAppGroup::remoteAccess, LoginAppGroup::other};

std::string_view text(LoginAppGroup group);   // "assistants", "remoteAccess", "other"
std::string_view title(LoginAppGroup group);  // "Assistants and editors", …
std::optional<LoginAppGroup> loginAppGroup(std::string_view text);

struct KnownApp {
  std::string_view name;
  std::vector<std::string_view> bundleIDs;  // in order of preference
  LoginAppGroup group;
};

// An app that starts by itself or may be a login item; identified by its path.
struct LoginApp {
  std::string path;
  std::optional<std::string> bundleID;
  std::string name;

  nlohmann::json toJSON() const;
  static Decoded<LoginApp> fromJSON(const nlohmann::json& json);
  bool operator==(const LoginApp&) const = default;
};

// A known app found on disk.
struct FoundApp {
  std::string name;
  std::string path;
  std::optional<std::string> bundleID;
  LoginAppGroup group = LoginAppGroup::other;
  bool startsOnItsOwn = false;  // starts without being a login item of the user

  LoginApp loginApp() const { return {path, bundleID, name}; }
  bool operator==(const FoundApp&) const = default;
};

namespace LoginApps {

// The table of known apps, in display order.
const std::vector<KnownApp>& known();

inline constexpr std::array<std::string_view, 2> chromeRemoteDesktopMarkers = {
    "/Library/PrivilegedHelperTools/org.chromium.chromoting.me2me_enabled",
    "/Library/LaunchAgents/org.chromium.chromoting.plist"};
inline constexpr std::string_view chromeRemoteDesktopHost =
    "/Library/PrivilegedHelperTools/ChromeRemoteDesktopHost.app";

// The known apps in "/Applications" and in "<home>/Applications" ("/Applications" wins for an
// identifier found in both), in table order, with Chrome Remote Desktop after the last
// remote-access app when one of its marker files exists.
std::vector<FoundApp> detect(AppFileSystem& fs, const std::string& home);

// The first known app that lists this bundle identifier.
std::optional<KnownApp> knownApp(const std::optional<std::string>& bundleID);

// Whether the app starts on its own or is among the login items (by bundle identifier, a
// path inside its bundle, or as the item's parent).
bool isOn(const FoundApp& app, const std::vector<LoginItem>& items);

// "X", "X and Y", "X, Y and Z"; empty for no apps.
std::string names(const std::vector<LoginApp>& apps);

// The path with "~", "." and ".." resolved and trailing "/" removed ("/" stays "/").
std::string standard(std::string_view path);

}  // namespace LoginApps
}  // namespace torvo
