// The desktop app's road end to end, with the built programs: torvo-relay on 127.0.0.1, the
// agent in simulate mode as an unprivileged user, and torvo-ctl as the same user.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "relay_server/relay_server.h"
#include "tests/test_support.h"

namespace torvo {
namespace {

namespace fs = std::filesystem;

class CtlEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ::chmod(dir_.path().c_str(), 0755);
    for (const char* name : {"torvo-agent", "torvo-ctl"}) {
      fs::copy_file(test::program(name), dir_ / name);
      ::chmod((dir_ / name).c_str(), 0755);
    }
    home_ = dir_ / "home";
    fs::create_directory(home_);
    if (isRoot()) {
      ASSERT_EQ(::chown(home_.c_str(), test::nobodyUID, test::nobodyGID), 0);
    }

    const std::string relay = "http://127.0.0.1:" + std::to_string(relay_.start());
    agent_ = ::fork();
    ASSERT_GE(agent_, 0);
    if (agent_ == 0) {
      const int devnull = ::open("/dev/null", O_RDWR);  // the agent echoes its log to stderr
      ::dup2(devnull, 0);
      ::dup2(devnull, 2);
      if (isRoot() && (::setgid(test::nobodyGID) != 0 || ::setuid(test::nobodyUID) != 0)) ::_exit(126);
      const std::string agent = (dir_ / "torvo-agent").string();
      ::execl(agent.c_str(), agent.c_str(), "--simulate", "--home", home_.c_str(), "--relay",
              relay.c_str(), "--poll-seconds", "2", nullptr);
      ::_exit(127);
    }
    for (int i = 0; i < 200 && !fs::exists(home_ / "agent.sock"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_TRUE(fs::exists(home_ / "agent.sock"));
  }

  void TearDown() override {
    if (agent_ > 0) {
      ::kill(agent_, SIGTERM);
      int status = 0;
      ::waitpid(agent_, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    relay_.stop();
  }

  static bool isRoot() { return ::getuid() == 0; }

  test::ProcessResult ctl(std::vector<std::string> args, bool asAgentUser = true) {
    args.insert(args.begin(), (dir_ / "torvo-ctl").string());
    const auto user = asAgentUser && isRoot() ? std::optional<uid_t>(test::nobodyUID) : std::nullopt;
    return test::run(args, user, {"TORVO_AGENT_SOCKET=" + (home_ / "agent.sock").string(), "TZ=UTC"});
  }

  test::TempDir dir_;
  fs::path home_;
  RelayServer relay_{RelayServer::Options{}};
  pid_t agent_ = -1;
};

TEST_F(CtlEndToEnd, StatusPairingWakeAndEnd) {
  auto status = ctl({"status"});
  ASSERT_EQ(status.status, 0) << status.err;
  EXPECT_NE(status.out.find("asleep"), std::string::npos) << status.out;

  const auto pair = ctl({"pair"});
  ASSERT_EQ(pair.status, 0) << pair.err;
  EXPECT_NE(pair.out.find("torvo://pair?v=1&r=http%3A%2F%2F127.0.0.1"), std::string::npos) << pair.out;

  ASSERT_EQ(ctl({"wake", "2"}).status, 0);
  status = ctl({"status", "--json"});
  ASSERT_EQ(status.status, 0) << status.err;
  const auto json = nlohmann::json::parse(status.out);
  EXPECT_TRUE(json.contains("awakeUntil")) << status.out;
  EXPECT_EQ(json["wokenBy"]["name"], "this Mac");
  EXPECT_EQ(json["devices"].size(), 1u);

  ASSERT_EQ(ctl({"end"}).status, 0);
  EXPECT_FALSE(nlohmann::json::parse(ctl({"status", "--json"}).out).contains("awakeUntil"));

  const std::string log = test::readFile(home_ / "logs" / "agent.log");
  EXPECT_NE(log.find("[app] Wake from this Mac until "), std::string::npos) << log;
  EXPECT_NE(log.find("[power] Wake ended at "), std::string::npos) << log;
}

TEST_F(CtlEndToEnd, AnotherUserIsRejected) {
  if (!isRoot()) GTEST_SKIP() << "needs a second user";
  const auto result = ctl({"status"}, false);
  EXPECT_EQ(result.status, 3);
  EXPECT_NE(result.err.find("peerRejected"), std::string::npos) << result.err;
  for (int i = 0; i < 100; ++i) {
    if (test::readFile(home_ / "logs" / "agent.log").find("rejected a local connection (uid 0") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(test::readFile(home_ / "logs" / "agent.log").find("rejected a local connection (uid 0, pid "),
            std::string::npos);
}

}  // namespace
}  // namespace torvo
