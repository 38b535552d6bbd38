#include "setup/login_apps.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/fakes/fake_app_file_system.h"

namespace torvo {
namespace {

using G = LoginAppGroup;

std::vector<std::string> namesOf(const std::vector<FoundApp>& found) {
  std::vector<std::string> out;
  for (const auto& app : found) out.push_back(app.name);
  return out;
}

TEST(LoginAppsTest, KnownTableAndGroups) {
  const auto& known = LoginApps::known();
  ASSERT_EQ(known.size(), 15u);
  EXPECT_EQ(known.front().name, "Claude");
  EXPECT_EQ(known[5].bundleIDs,
            (std::vector<std::string_view>{"com.microsoft.VSCode", "com.microsoft.VSCodeInsiders"}));
  EXPECT_EQ(known[8].group, G::assistants);
  EXPECT_EQ(known[9].name, "Tailscale");
  EXPECT_EQ(known[9].group, G::remoteAccess);
  EXPECT_EQ(known.back().name, "Parsec");

  EXPECT_EQ(LoginApps::knownApp("io.tailscale.ipn.macsys")->name, "Tailscale");
  EXPECT_EQ(LoginApps::knownApp("dev.zed.Zed-Preview")->name, "Zed");
  EXPECT_FALSE(LoginApps::knownApp("dev.zed"));
  EXPECT_FALSE(LoginApps::knownApp(std::nullopt));

  for (const auto group : allLoginAppGroups) EXPECT_EQ(loginAppGroup(text(group)), group);
  EXPECT_EQ(title(G::remoteAccess), "Remote access");
  EXPECT_FALSE(loginAppGroup("Remote access"));
}

TEST(LoginAppsTest, DetectPrefersTheRowsFirstIdentifierAndTheSystemFolder) {
  FakeAppFileSystem fs;
  fs.folders["/Applications"] = {{"Zed Preview.app", "dev.zed.Zed-Preview"},
                                 {"Zed.app", "dev.zed.Zed"},
                                 {"Unknown.app", std::nullopt},
                                 {"Parsec.app", "tv.parsec.www"}};
  fs.folders["/home/u/Applications"] = {{"Parsec.app", "tv.parsec.www"},
                                        {"Claude.app", "com.anthropic.claudefordesktop"},
                                        {"Tailscale.app", "io.tailscale.ipn.macsys"}};
  const auto found = LoginApps::detect(fs, "/home/u");
  const std::vector<FoundApp> expected = {
      {"Claude", "/home/u/Applications/Claude.app", "com.anthropic.claudefordesktop",
       G::assistants, false},
      {"Zed", "/Applications/Zed.app", "dev.zed.Zed", G::assistants, false},
      {"Tailscale", "/home/u/Applications/Tailscale.app", "io.tailscale.ipn.macsys",
       G::remoteAccess, false},
      {"Parsec", "/Applications/Parsec.app", "tv.parsec.www", G::remoteAccess, false},
  };
  EXPECT_EQ(found, expected);
}

TEST(LoginAppsTest, ChromeRemoteDesktopGoesAfterTheLastRemoteAccessApp) {
  FakeAppFileSystem fs;
  fs.folders["/Applications"] = {{"Parsec.app", "tv.parsec.www"},
                                 {"AnyDesk.app", "com.philandro.anydesk"},
                                 {"Claude.app", "com.anthropic.claudefordesktop"}};
  EXPECT_EQ(namesOf(LoginApps::detect(fs, "/home/u")),
            (std::vector<std::string>{"Claude", "AnyDesk", "Parsec"}));

  fs.files = {std::string(LoginApps::chromeRemoteDesktopMarkers[1])};
  const auto found = LoginApps::detect(fs, "/home/u");
  EXPECT_EQ(namesOf(found),
            (std::vector<std::string>{"Claude", "AnyDesk", "Parsec", "Chrome Remote Desktop"}));
  EXPECT_EQ(found.back(), (FoundApp{"Chrome Remote Desktop",
                                    std::string(LoginApps::chromeRemoteDesktopHost),
                                    "com.google.chromeremotedesktop.me2me-host",
                                    G::remoteAccess, true}));

  // Without remote-access apps it goes to the end, after the assistants.
  fs.folders["/Applications"] = {{"Claude.app", "com.anthropic.claudefordesktop"}};
  fs.files = {std::string(LoginApps::chromeRemoteDesktopMarkers[0])};
  EXPECT_EQ(namesOf(LoginApps::detect(fs, "/home/u")),
            (std::vector<std::string>{"Claude", "Chrome Remote Desktop"}));

  fs.folders["/Applications"] = {{"Tailscale.app", "io.tailscale.ipn.macos"},
                                 {"Claude.app", "com.anthropic.claudefordesktop"}};
  EXPECT_EQ(namesOf(LoginApps::detect(fs, "/home/u")),
            (std::vector<std::string>{"Claude", "Tailscale", "Chrome Remote Desktop"}));
}

TEST(LoginAppsTest, DetectReadsBundlesFromTheDisk) {
  DiskAppFileSystem fs;
  const std::string home = std::string(TORVO_SOURCE_DIR) + "/tests/fixtures/setup/home";
  const std::vector<FoundApp> expected = {
      {"ChatGPT", home + "/Applications/Binary.app", "com.openai.chat", G::assistants, false},
      {"Zed", home + "/Applications/Xml.app", "dev.zed.Zed", G::assistants, false},
  };
  EXPECT_EQ(LoginApps::detect(fs, home), expected);
}

TEST(LoginAppsTest, IsOn) {
  const FoundApp app{"Zed", "/Applications/Zed.app/", "dev.zed.Zed", G::assistants, false};
  struct Case {
    LoginItem item;
    bool on;
  };
  const Case cases[] = {
      {{"x", std::nullopt, "dev.zed.Zed"}, true},
      {{"x", std::nullopt, "dev.zed.Zed.helper"}, true},
      {{"x", std::nullopt, "dev.zed.Zed-Preview"}, false},
      {{"x", "/Applications/Zed.app"}, true},
      {{"x", "/Applications/Zed.app/Contents/Library/LoginItems/H.app/"}, true},
      {{"x", "/Applications/./Other/../Zed.app"}, true},
      {{"x", "/Applications/Zed.app2"}, false},
      {{"x", "/Applications/Zed.appendix/x"}, false},
      {{"x", std::nullopt, std::nullopt, "dev.zed.Zed"}, true},
      {{"x", std::nullopt, std::nullopt, "dev.zed.Zed.x"}, false},
      {{"x", std::nullopt, "other", "other"}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LoginApps::isOn(app, {c.item}), c.on) << c.item.toJSON().dump();
  }
  EXPECT_FALSE(LoginApps::isOn(app, {}));
  FoundApp own = app;
  own.startsOnItsOwn = true;
  EXPECT_TRUE(LoginApps::isOn(own, {}));
  FoundApp noID = app;
  noID.bundleID.reset();
  EXPECT_FALSE(LoginApps::isOn(noID, {{"x", std::nullopt, "dev.zed.Zed", "dev.zed.Zed"}}));
}

TEST(LoginAppsTest, Names) {
  const LoginApp x{"/X.app", std::nullopt, "X"};
  const LoginApp y{"/Y.app", "y", "Y"};
  const LoginApp z{"/Z.app", std::nullopt, "Z"};
  EXPECT_EQ(LoginApps::names({}), "");
  EXPECT_EQ(LoginApps::names({x}), "X");
  EXPECT_EQ(LoginApps::names({x, y}), "X and Y");
  EXPECT_EQ(LoginApps::names({x, y, z}), "X, Y and Z");
}

TEST(LoginAppsTest, Standard) {
  ::setenv("HOME", "/home/tester", 1);
  const std::pair<std::string, std::string> cases[] = {
      {"/", "/"},
      {"///", "/"},
      {"/a/b/", "/a/b"},
      {"/a/./b/../c//", "/a/c"},
      {"/..", "/"},
      {"~", "/home/tester"},
      {"~/Apps/", "/home/tester/Apps"},
      {"~root/x", "/root/x"},
  };
  for (const auto& [path, standard] : cases) EXPECT_EQ(LoginApps::standard(path), standard) << path;
}

TEST(LoginAppsTest, LoginAppJSON) {
  const LoginApp app{"/Applications/Zed.app", std::nullopt, "Zed"};
  EXPECT_EQ(app.toJSON().dump(), R"({"name":"Zed","path":"/Applications/Zed.app"})");
  const LoginApp withID{"/A.app", "a.b", "A"};
  EXPECT_EQ(LoginApp::fromJSON(withID.toJSON()), withID);
  EXPECT_EQ(FoundApp({"A", "/A.app", "a.b", G::other, true}).loginApp(), withID);
  EXPECT_FALSE(LoginApp::fromJSON(nlohmann::json{{"name", "A"}}));
  EXPECT_FALSE(LoginApp::fromJSON(nlohmann::json::array()));
}

}  // namespace
}  // namespace torvo
