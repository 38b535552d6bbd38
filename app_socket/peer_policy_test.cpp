#include "app_socket/peer_policy.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace torvo {
namespace {

TEST(PeerPolicyTest, ChecksUserThenSignatureThenPath) {
  const PeerIdentity app{.uid = 501, .pid = 42, .path = "/Applications/Torvo.app", .signatureOK = true};
  const auto console501 = [] { return std::optional<std::uint32_t>(501); };
  const auto nobodyAtConsole = [] { return std::optional<std::uint32_t>(); };
  struct Case {
    PeerPolicy policy;
    PeerIdentity identity;
    PeerPolicy::ConsoleLookup console;
    PeerPolicy::Decision decision;
  };
  PeerIdentity unsigned501 = app;
  unsigned501.signatureOK = false;
  PeerIdentity noPath = app;
  noPath.path.reset();
  PeerIdentity elsewhere = app;
  elsewhere.path = "/tmp/Torvo.app";
  PeerIdentity otherUser = unsigned501;
  otherUser.uid = 502;
  PeerIdentity root = app;
  root.uid = 0;
  PeerIdentity rootElsewhere = elsewhere;
  rootElsewhere.uid = 0;
  const PeerPolicy full{.uid = PeerPolicy::ConsoleUser{},
                        .requirement = "identifier \"x\"",
                        .allowedPath = "/Applications/Torvo.app/"};
  const Case cases[] = {
      {full, app, console501, {true, "ok"}},
      {full, app, nobodyAtConsole, {false, "not the console user"}},
      {full, otherUser, console501, {false, "not the console user"}},
      // Root stands in for the console user only while nobody is at the screen, and still
      // needs the installed app.
      {full, root, nobodyAtConsole, {true, "ok"}},
      {full, root, console501, {false, "not the console user"}},
      {full, rootElsewhere, nobodyAtConsole, {false, "not the installed app"}},
      {full, unsigned501, console501, {false, "code signature doesn't match"}},
      {full, noPath, console501, {false, "not the installed app"}},
      {full, elsewhere, console501, {false, "not the installed app"}},
      {{.uid = PeerPolicy::Exactly{501}}, unsigned501, nobodyAtConsole, {true, "ok"}},
      {{.uid = PeerPolicy::Exactly{501}, .requirement = "x"}, otherUser, console501,
       {false, "wrong user"}},
      {{.uid = PeerPolicy::Exactly{502}, .allowedPath = "/tmp/Torvo.app"}, otherUser,
       console501, {false, "not the installed app"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.policy.allows(c.identity, c.console), c.decision) << c.decision.reason;
    // The user check alone, which the server makes before identifying the program, refuses
    // exactly the peers that `allows` refuses for their user, with the same reason.
    const bool userRefused =
        c.decision.reason == "wrong user" || c.decision.reason == "not the console user";
    const PeerPolicy::Decision userDecision =
        userRefused ? c.decision : PeerPolicy::Decision{true, "ok"};
    EXPECT_EQ(c.policy.allowsUser(c.identity.uid, c.console), userDecision) << c.decision.reason;
  }
}

TEST(PeerPolicyTest, SamePathIgnoresTrailingSlashesDotsAndLinks) {
  test::TempDir dir;
  std::filesystem::create_directories(dir / "real/Torvo.app");
  std::filesystem::create_directory_symlink(dir / "real", dir / "link");
  const std::string app = (dir / "real/Torvo.app").string();
  EXPECT_TRUE(PeerPolicy::samePath(app, app + "/"));
  EXPECT_TRUE(PeerPolicy::samePath(app, app + "//"));
  EXPECT_TRUE(PeerPolicy::samePath((dir / "link/Torvo.app").string(), app));
  EXPECT_TRUE(PeerPolicy::samePath((dir / "link/../real/./Torvo.app/").string(), app));
  EXPECT_TRUE(PeerPolicy::samePath("/", "/"));
  EXPECT_FALSE(PeerPolicy::samePath((dir / "real").string(), app));
  EXPECT_FALSE(PeerPolicy::samePath(app + "x", app));
}

TEST(PeerPolicyTest, SelfIsNeverTeamSignedOnLinux) { EXPECT_FALSE(PeerPolicy::selfIsTeamSigned()); }

}  // namespace
}  // namespace torvo
