#include "setup/login_apps.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>

namespace torvo {
namespace {

using json = nlohmann::json;
namespace F = JSONFields;

constexpr std::string_view chromeRemoteDesktopName = "Chrome Remote Desktop";
constexpr std::string_view chromeRemoteDesktopID = "com.google.chromeremotedesktop.me2me-host";

// The home folder of the user named `user`, or of the current user when `user` is empty.
std::optional<std::string> homeOf(const std::string& user) {
  if (user.empty()) {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
  }
  const passwd* entry = user.empty() ? ::getpwuid(::geteuid()) : ::getpwnam(user.c_str());
  if (!entry || !entry->pw_dir) return std::nullopt;
  return entry->pw_dir;
}

// "~" or "~user" at the start replaced by that home folder; unchanged when it is unknown.
std::string expandTilde(std::string_view path) {
  if (!path.starts_with('~')) return std::string(path);
  const auto slash = std::min(path.find('/'), path.size());
  const auto home = homeOf(std::string(path.substr(1, slash - 1)));
  if (!home) return std::string(path);
  return *home + std::string(path.substr(slash));
}

bool startsWithPart(std::string_view text, std::string_view prefix, char separator) {
  return text.size() > prefix.size() && text.starts_with(prefix) && text[prefix.size()] == separator;
}

}  // namespace

std::string_view text(LoginAppGroup group) {
  switch (group) {
    case LoginAppGroup::assistants: return "assistants";
    case LoginAppGroup::remoteAccess: return "remoteAccess";
    case LoginAppGroup::other: return "other";
  }
  return "";
}

std::string_view title(LoginAppGroup group) {
  switch (group) {
    case LoginAppGroup::assistants: return "Assistants and editors";
    case LoginAppGroup::remoteAccess: return "Remote access";
    case LoginAppGroup::other: return "Other apps";
  }
  return "";
}

std::optional<LoginAppGroup> loginAppGroup(std::string_view value) {
  for (const auto group : allLoginAppGroups) {
    if (text(group) == value) return group;
  }
  return std::nullopt;
}

json LoginApp::toJSON() const {
  json out = {{"path", path}, {"name", name}};
  if (bundleID) out["bundleID"] = *bundleID;
  return out;
}

Decoded<LoginApp> LoginApp::fromJSON(const json& doc) {
  if (!doc.is_object()) return std::unexpected(JSONDecodingError{});
  auto path = F::text(doc, "path");
  if (!path) return std::unexpected(path.error());
  auto bundleID = F::optionalText(doc, "bundleID");
  if (!bundleID) return std::unexpected(bundleID.error());
  auto name = F::text(doc, "name");
  if (!name) return std::unexpected(name.error());
  return LoginApp{*path, *bundleID, *name};
}

namespace LoginApps {

const std::vector<KnownApp>& known() {
  using G = LoginAppGroup;
  static const std::vector<KnownApp> table = {
      {"Claude", {"com.anthropic.claudefordesktop"}, G::assistants},
      {"ChatGPT", {"com.openai.chat"}, G::assistants},
      {"Codex", {"com.openai.codex"}, G::assistants},
      {"Cursor", {"com.todesktop.230313mzl4w4u92"}, G::assistants},
      {"Windsurf", {"com.exafunction.windsurf"}, G::assistants},
      {"Visual Studio Code", {"com.microsoft.VSCode", "com.microsoft.VSCodeInsiders"},
       G::assistants},
      {"Zed", {"dev.zed.Zed", "dev.zed.Zed-Preview"}, G::assistants},
      {"Perplexity", {"ai.perplexity.mac"}, G::assistants},
      {"Raycast", {"com.raycast.macos"}, G::assistants},
      {"Tailscale", {"io.tailscale.ipn.macos", "io.tailscale.ipn.macsys"}, G::remoteAccess},
      {"Jump Desktop Connect", {"com.p5sys.jump.connect"}, G::remoteAccess},
      {"Screens Connect", {"com.edovia.screens.connect"}, G::remoteAccess},
      {"TeamViewer", {"com.teamviewer.TeamViewer"}, G::remoteAccess},
      {"AnyDesk", {"com.philandro.anydesk"}, G::remoteAccess},
      {"Parsec", {"tv.parsec.www"}, G::remoteAccess},
  };
  return table;
}

std::vector<FoundApp> detect(AppFileSystem& fs, const std::string& home) {
  std::map<std::string, std::string, std::less<>> pathByID;
  for (const auto& folder : {std::string("/Applications"),
                             (std::filesystem::path(home) / "Applications").string()}) {
    for (const auto& [path, id] : fs.appBundles(folder)) {
      if (id) pathByID.try_emplace(*id, path);
    }
  }

  std::vector<FoundApp> found;
  for (const auto& app : known()) {
    for (const auto id : app.bundleIDs) {
      const auto it = pathByID.find(id);
      if (it == pathByID.end()) continue;
      found.push_back({std::string(app.name), it->second, std::string(id), app.group, false});
      break;
    }
  }

  const bool chromeRemoteDesktop =
      std::ranges::any_of(chromeRemoteDesktopMarkers,
                          [&](std::string_view marker) { return fs.fileExists(std::string(marker)); });
  if (chromeRemoteDesktop) {
    const auto lastRemote = std::ranges::find_if(found.rbegin(), found.rend(), [](const FoundApp& app) {
      return app.group == LoginAppGroup::remoteAccess;
    });
    found.insert(lastRemote == found.rend() ? found.end() : lastRemote.base(),
                 {std::string(chromeRemoteDesktopName), std::string(chromeRemoteDesktopHost),
                  std::string(chromeRemoteDesktopID), LoginAppGroup::remoteAccess, true});
  }
  return found;
}

std::optional<KnownApp> knownApp(const std::optional<std::string>& bundleID) {
  if (!bundleID) return std::nullopt;
  for (const auto& app : known()) {
    if (std::ranges::find(app.bundleIDs, *bundleID) != app.bundleIDs.end()) return app;
  }
  return std::nullopt;
}

bool isOn(const FoundApp& app, const std::vector<LoginItem>& items) {
  if (app.startsOnItsOwn) return true;
  const auto appPath = standard(app.path);
  return std::ranges::any_of(items, [&](const LoginItem& item) {
    if (item.bundleID && app.bundleID &&
        (*item.bundleID == *app.bundleID || startsWithPart(*item.bundleID, *app.bundleID, '.'))) {
      return true;
    }
    if (item.path) {
      const auto itemPath = standard(*item.path);
      if (itemPath == appPath || startsWithPart(itemPath, appPath, '/')) return true;
    }
    return item.parentID && app.bundleID && *item.parentID == *app.bundleID;
  });
}

std::string names(const std::vector<LoginApp>& apps) {
  std::string out;
  for (std::size_t i = 0; i < apps.size(); ++i) {
    if (i > 0) out += i + 1 == apps.size() ? " and " : ", ";
    out += apps[i].name;
  }
  return out;
}

std::string standard(std::string_view path) {
  auto out = std::filesystem::path(expandTilde(path)).lexically_normal().string();
  while (out.size() >= 2 && out.ends_with('/')) out.pop_back();
  return out;
}

}  // namespace LoginApps
}  // namespace torvo
