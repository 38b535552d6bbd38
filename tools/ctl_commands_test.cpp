#include "tools/ctl_commands.h"

#include <sstream>

#include <gtest/gtest.h>

namespace torvo {
namespace {

using Ctl::parse;

TEST(CtlParseTest, CommandsBecomeRequests) {
  struct Case {
    std::vector<std::string> args;
    AppRequest request;
  };
  const Case cases[] = {
      {{"status"}, {AppRequests::GetStatus{}}},
      {{"pair"}, {AppRequests::AddDevice{}}},
      {{"cancel-pairing", "abcdefghi0"}, {AppRequests::CancelPairing{"abcdefghi0"}}},
      {{"remove", "abcdefghi0"}, {AppRequests::RemoveDevice{"abcdefghi0"}}},
      {{"reset-pairing"}, {AppRequests::ResetPairing{}}},
      {{"wake", "3"}, {AppRequests::WakeNow{3}}},
      {{"end"}, {AppRequests::EndWake{}}},
      {{"interval", "30"}, {AppRequests::SetCheckIn{30}}},
      {{"check-in"}, {AppRequests::CheckInNow{}}},
      {{"setup-apply", "--pause-updates", "--wake-for-network"},
       {AppRequests::ApplySetup{{.wakeForNetwork = true, .pauseUpdates = true}}}},
      {{"setup-undo"}, {AppRequests::UndoSetup{}}},
      {{"note-screen-lock", "300"},
       {AppRequests::NoteUserChange{UserChange{ScreenLockSetting::seconds(300)}}}},
      {{"note-screen-lock", "immediate"},
       {AppRequests::NoteUserChange{UserChange{ScreenLockSetting::immediate()}}}},
      {{"login-items"}, {AppRequests::GetLoginItems{}}},
  };
  for (const auto& c : cases) {
    const auto invocation = parse(c.args, "/default.sock");
    ASSERT_TRUE(invocation) << c.args[0] << ": " << invocation.error();
    EXPECT_EQ(invocation->request, c.request) << c.args[0];
    EXPECT_EQ(invocation->socket, "/default.sock");
  }
  const auto withSocket = parse({"--socket", "/x.sock", "status", "--json"}, "/default.sock");
  ASSERT_TRUE(withSocket);
  EXPECT_EQ(withSocket->socket, "/x.sock");
  EXPECT_TRUE(withSocket->json);
}

TEST(CtlParseTest, UsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"fly"}, {"wake"}, {"wake", "3h"}, {"interval", "15", "30"}, {"remove"},
      {"remove", "abc\xff" "defgh"}, {"cancel-pairing", "\xc3"},
      {"end", "now"}, {"setup-apply", "--all"}, {"note-screen-lock", "-5"}, {"--socket"},
      {"pair", "--web"}, {"pair", "now"}, {"pair", "--web", "ftp://host/phone/"},
      {"pair", "--web", "http://host/phone/#x"}, {"pair", "--web", "phone.html"},
      {"pair", "--web", "http:///phone/"},
  };
  for (const auto& args : cases) EXPECT_FALSE(parse(args, "/s")) << ::testing::PrintToString(args);
}

struct Run {
  int status;
  std::string out;
  std::string err;
};

Run execute(const std::vector<std::string>& args, AgentClient::Result result) {
  std::ostringstream out;
  std::ostringstream err;
  const auto invocation = parse(args, "/s.sock");
  EXPECT_TRUE(invocation);
  const int status = Ctl::execute(*invocation, [&](const AppRequest&) { return result; }, out, err,
                                  1'000'000);
  return {status, out.str(), err.str()};
}

TEST(CtlExecuteTest, ExitStatusFollowsTheAnswer) {
  EXPECT_EQ(execute({"end"}, AppResponse{AppResponses::Ok{}}).status, Ctl::done);
  const auto refused = execute({"pair"}, AppResponse{AppResponses::Refused{"The relay address isn't valid."}});
  EXPECT_EQ(refused.status, Ctl::refused);
  EXPECT_NE(refused.err.find("The relay address isn't valid."), std::string::npos);
  const auto rejected = execute({"end"}, std::unexpected(AgentClient::Error(
                                             FrameError(FrameError::Kind::peerRejected))));
  EXPECT_EQ(rejected.status, Ctl::unreachable);
  EXPECT_NE(rejected.err.find("peerRejected"), std::string::npos);
  const auto missing = execute({"end"}, std::unexpected(AgentClient::Error(FrameError::connect(2))));
  EXPECT_NE(missing.err.find("connect(2)"), std::string::npos);
}

TEST(CtlExecuteTest, PairingPrintsLinkKidAndQRCode) {
  const auto run = execute({"pair"}, AppResponse{AppResponses::Pairing{
                                         "torvo://pair?x=1", "abcdefghi0", 1'000'300}});
  EXPECT_EQ(run.status, Ctl::done);
  EXPECT_NE(run.out.find("link: torvo://pair?x=1\n"), std::string::npos);
  EXPECT_NE(run.out.find("kid: abcdefghi0\n"), std::string::npos);
  EXPECT_NE(run.out.find("\u2580"), std::string::npos);
}

TEST(CtlExecuteTest, PairingForTheWebPhoneShowsBothAndEncodesTheLinkInTheFragment) {
  const std::string link = "torvo://pair?v=1&r=http%3A%2F%2Fh&n=Anna%27s";
  const auto run = execute({"pair", "--web", "http://10.0.0.5:8080/phone/"},
                           AppResponse{AppResponses::Pairing{link, "abcdefghi0", 1'000'300}});
  EXPECT_EQ(run.status, Ctl::done);
  const std::string web =
      "http://10.0.0.5:8080/phone/#torvo%3A%2F%2Fpair%3Fv%3D1%26r%3Dhttp%253A%252F%252Fh%26n%3DAnna%2527s";
  EXPECT_NE(run.out.find("link: " + link + "\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("web: " + web + "\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(Ctl::qrCode(web)), std::string::npos) << "the QR code opens the page";
  EXPECT_EQ(run.out.find(Ctl::qrCode(link)), std::string::npos);
}

TEST(CtlExecuteTest, StatusAsTextAndAsJSON) {
  AgentStatus status;
  status.version = "0.1.0";
  status.macName = "desk";
  status.awakeUntil = 1'003'600;
  status.devices = {DeviceInfo{.kid = "abcdefghi0", .name = "Phone", .pairedAt = 999'000}};
  status.relayHost = "relay.example";
  const auto text = execute({"status"}, AppResponse{AppResponses::Status{status}});
  EXPECT_NE(text.out.find("awake until "), std::string::npos);
  EXPECT_NE(text.out.find("abcdefghi0  Phone"), std::string::npos);
  EXPECT_NE(text.out.find("pending"), std::string::npos);
  EXPECT_NE(text.out.find("relay: relay.example"), std::string::npos);
  const auto json = execute({"status", "--json"}, AppResponse{AppResponses::Status{status}});
  EXPECT_EQ(json.out, status.toJSON().dump() + "\n");
  status.awakeUntil = 999'999;
  EXPECT_NE(Ctl::describeStatus(status, 1'000'000).find("asleep"), std::string::npos);
}

TEST(CtlExecuteTest, LoginItemsMarkTheKnownAppsByBundleIDOrName) {
  const std::vector<LoginItem> items = {
      {"Zed", "/app/bin/zed", "dev.zed.Zed"},
      {"Code", std::nullopt, "com.microsoft.VSCodeInsiders"},  // the identifier names the app
      {"tailscale", "/usr/bin/tailscale-systray"},             // the name, in another case
      {"Cursor helper", "/opt/cursor/helper"},                 // a known name inside is not it
      {"Dropbox", std::nullopt, "com.dropbox.Dropbox"},
      {"syncthing.service", "/usr/lib/systemd/user/syncthing.service"},
  };
  const auto run = execute({"login-items"}, AppResponse{AppResponses::LoginItems{items}});
  EXPECT_EQ(run.status, Ctl::done);
  EXPECT_EQ(run.out,
            "Zed  /app/bin/zed  [known: Zed, Assistants and editors]\n"
            "Code  [known: Visual Studio Code, Assistants and editors]\n"
            "tailscale  /usr/bin/tailscale-systray  [known: Tailscale, Remote access]\n"
            "Cursor helper  /opt/cursor/helper\n"
            "Dropbox\n"
            "syncthing.service  /usr/lib/systemd/user/syncthing.service\n");
  EXPECT_EQ(execute({"login-items"}, AppResponse{AppResponses::LoginItems{std::nullopt}}).out,
            "no list available\n");
}

TEST(CtlQRCodeTest, RendersTwoModulesPerCell) {
  const std::string code = Ctl::qrCode("torvo://pair?x=1");
  // Version 1 is 21 modules, 25 with the quiet zone: 13 lines of 25 cells.
  std::size_t lines = 0;
  for (char c : code) lines += c == '\n';
  EXPECT_EQ(lines, 13u);
  EXPECT_NE(code.find("\u2588"), std::string::npos);
}

}  // namespace
}  // namespace torvo
