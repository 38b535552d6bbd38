#include "core/peer_policy.h"

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
  const PeerPolicy full{.uid = PeerPolicy::ConsoleUser{},
                        .requirement = "identifier \"x\"",
                        .allowedPath = "/Applications/Torvo.app/"};
  const Case cases[] = {
      {full, app, console501, {true, "ok"}},
      {full, app, nobodyAtConsole, {false, "not the console user"}},
      {full, otherUser, console501, {false, "not the console user"}},
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

// The console user comes from the seat and session records that sd-login reads. The test
// writes them only where no seat0 record exists, and removes them afterwards.
TEST(PeerPolicyTest, ConsoleUserIsTheActiveSessionUnlessItIsTheLoginScreen) {
  const std::filesystem::path seat = "/run/systemd/seats/seat0";
  const std::filesystem::path sessions = "/run/systemd/sessions";
  if (::geteuid() != 0 || std::filesystem::exists(seat) ||
      !std::filesystem::is_directory(seat.parent_path()) || !std::filesystem::is_directory(sessions)) {
    GTEST_SKIP() << "needs root and a machine without a seat0 record";
  }
  const std::string id = "torvotest" + std::to_string(::getpid());
  const auto session = sessions / id;
  auto write = [](const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
  };
  write(seat, "ACTIVE=" + id + "\nACTIVE_UID=1234\n");
  write(session, "UID=1234\nCLASS=user\n");
  const auto user = PeerPolicy::consoleUID();
  write(session, "UID=1234\nCLASS=greeter\n");
  const auto greeter = PeerPolicy::consoleUID();
  std::filesystem::remove(seat);
  const auto noSeat = PeerPolicy::consoleUID();
  std::filesystem::remove(session);

  EXPECT_EQ(user, 1234u);
  EXPECT_EQ(greeter, std::nullopt);
  EXPECT_EQ(noSeat, std::nullopt);
}

}  // namespace
}  // namespace torvo
