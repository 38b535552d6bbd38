// The agent's command line run against the built binary: refusals with their messages and
// exit status, the printing options, and a simulate-mode start and stop, as root and as an
// unprivileged user.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "setup/daemon_install.h"
#include "tests/faults/misbehaving_relay.h"
#include "tests/test_support.h"

namespace torvo {
namespace {

namespace fs = std::filesystem;

// A copy of the agent that the unprivileged user can run, whatever folder the build is in.
class AgentBinary : public ::testing::Test {
 protected:
  void SetUp() override {
    ::chmod(dir_.path().c_str(), 0755);
    fs::copy_file(test::program("torvo-agent"), agent_);
    ::chmod(agent_.c_str(), 0755);
  }

  static bool isRoot() { return ::getuid() == 0; }

  // A folder the unprivileged user owns (as root), or one of ours.
  fs::path userFolder(const std::string& name) {
    const fs::path folder = dir_ / name;
    fs::create_directory(folder);
    if (isRoot()) {
      EXPECT_EQ(::chown(folder.c_str(), test::nobodyUID, test::nobodyGID), 0);
    }
    return folder;
  }

  std::optional<uid_t> unprivileged() const {
    return isRoot() ? std::optional<uid_t>(test::nobodyUID) : std::nullopt;
  }

  test::TempDir dir_;
  fs::path agent_ = dir_ / "torvo-agent";
};

TEST_F(AgentBinary, RefusalsExitWith64AndTheirMessage) {
  struct Case {
    std::vector<std::string> args;
    bool asRoot;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, false, "must run as root (it's a LaunchDaemon). For testing use --simulate."},
      {{}, true, "needs --allowed-client <path to the app>"},
      {{"--allowed-client", "/Applications/Torvo"}, true, "needs --allowed-client <path to the app>"},
      {{"--simulate"}, false, "--simulate needs --home <dir>"},
      {{"--simulate", "--home", "/tmp/x"}, true, "--simulate runs as a normal user, not root"},
      {{"--simulate", "--home"}, false, "missing value for --home"},
      {{"--frobnicate", "--version"}, false, "unknown argument --frobnicate"},
      {{"--frobnicate"}, true, "unknown argument --frobnicate"},
  };
  for (const auto& c : cases) {
    if (c.asRoot != isRoot() && !isRoot()) continue;  // root can also act as the normal user
    std::vector<std::string> argv{agent_.string()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto result = test::run(argv, c.asRoot ? std::nullopt : unprivileged());
    SCOPED_TRACE(c.message);
    EXPECT_EQ(result.status, 64);
    EXPECT_EQ(result.err, "torvo-agent: " + c.message + "\n");
    EXPECT_EQ(result.out, "");
  }
}

TEST_F(AgentBinary, EmptyPathsAreRefusedBeforeAnythingIsCreated) {
  const fs::path home = userFolder("home");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--simulate", "--home", ""}, "--simulate needs --home <dir>"},
      {{"--simulate", "--home", home.string(), "--sim-power-file", ""},
       "--sim-power-file needs a path"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    std::vector<std::string> argv{agent_.string()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.insert(argv.end(), {"--relay", "http://127.0.0.1:9"});
    const auto result = test::run(argv, unprivileged());
    EXPECT_EQ(result.status, 64);
    EXPECT_EQ(result.err, "torvo-agent: " + c.message + "\n");
    EXPECT_TRUE(fs::is_empty(home)) << "the refusal comes before the logs folder";
  }
}

TEST_F(AgentBinary, PrintingOptionsWriteOneTextAndExitZero) {
  const auto version = test::run({agent_.string(), "--version", "--frobnicate"}, unprivileged());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "0.1.0\n");

  const auto install =
      test::run({agent_.string(), "--install-script", "/Applications/Torvo.app"}, unprivileged());
  EXPECT_EQ(install.status, 0);
  EXPECT_EQ(install.out,
            DaemonInstall::installScript("/Applications/Torvo.app",
                                         "/Applications/Torvo.app/Contents/MacOS/torvo-agent") +
                "\n");

  const auto uninstall = test::run({agent_.string(), "--uninstall-script"}, unprivileged());
  EXPECT_EQ(uninstall.status, 0);
  EXPECT_EQ(uninstall.out, DaemonInstall::uninstallScript() + "\n");
}

TEST_F(AgentBinary, SimulateModeStartsPreparesItsFoldersAndStopsOnSignals) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    const fs::path home = userFolder("home-" + std::to_string(signal)) / "nested";
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const int devnull = ::open("/dev/null", O_RDWR);
      ::dup2(devnull, 0);
      ::dup2(devnull, 2);
      if (isRoot() && (::setgid(test::nobodyGID) != 0 || ::setuid(test::nobodyUID) != 0)) {
        ::_exit(126);
      }
      // A closed loopback port as the relay: the agent never reaches beyond this machine.
      ::execl(agent_.c_str(), agent_.c_str(), "--simulate", "--home", home.c_str(), "--relay",
              "http://127.0.0.1:9", nullptr);
      ::_exit(127);
    }
    // Wait for the launch check-in to schedule its wake (the signal handlers are in place by
    // then), then stop the agent.
    const fs::path log = home / "logs" / "agent.log";
    for (int i = 0; i < 400 && test::readFile(log).find("would wake at") == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ::kill(pid, signal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const std::string text = test::readFile(log);
    EXPECT_NE(text.find("[agent] simulate mode: no power or system changes\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("[agent] stopping\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[agent] checks for a Wake every 15 min\n"), std::string::npos) << text;
    EXPECT_TRUE(fs::is_directory(home / "data"));
    // The orderly stop leaves no scheduled wake behind and removes the app socket.
    const std::string state = test::readFile(home / "data" / "state.json");
    EXPECT_NE(state.find("\"drops\""), std::string::npos) << state;
    EXPECT_EQ(state.find("scheduledWake"), std::string::npos) << state;
    EXPECT_FALSE(fs::exists(home / "agent.sock"));
  }
}

TEST_F(AgentBinary, TheLargestPollIntervalWaitsInsteadOfSpinning) {
  // The largest number of seconds once overflowed the timer, and the agent checked in with
  // the relay hundreds of times a second.
  test::MisbehavingRelay relay;
  const fs::path home = userFolder("home");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(devnull, 0);
    ::dup2(devnull, 2);
    if (isRoot() && (::setgid(test::nobodyGID) != 0 || ::setuid(test::nobodyUID) != 0)) {
      ::_exit(126);
    }
    ::execl(agent_.c_str(), agent_.c_str(), "--simulate", "--home", home.c_str(), "--relay",
            relay.url().c_str(), "--poll-seconds", "9223372036854775807", nullptr);
    ::_exit(127);
  }
  const fs::path log = home / "logs" / "agent.log";
  for (int i = 0; i < 400 && test::readFile(log).find("check-in (launch)") == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);

  using Route = test::MisbehavingRelay::Route;
  EXPECT_NE(test::readFile(log).find("check-in (launch)"), std::string::npos) << test::readFile(log);
  const int requests = relay.requests(Route::health) + relay.requests(Route::poll) +
                       relay.requests(Route::publish);
  EXPECT_GE(requests, 1) << "the launch check-in reaches the relay";
  EXPECT_LE(requests, 5) << "only the launch check-in, then a wait of a day";
}

TEST_F(AgentBinary, AnUntrustedStateFileRefusesTheStart) {
  if (!isRoot()) GTEST_SKIP() << "planting a file of another owner needs root";
  const fs::path home = userFolder("home");
  const fs::path data = home / "data";
  fs::create_directory(data);
  ASSERT_EQ(::chown(data.c_str(), test::nobodyUID, test::nobodyGID), 0);
  std::ofstream(data / "state.json") << "{}";  // owned by root, not by the agent's user

  const auto result =
      test::run({agent_.string(), "--simulate", "--home", home.string(), "--relay", "http://127.0.0.1:9"},
                unprivileged());
  const std::string description = (data / "state.json").string() + " has the wrong owner";
  EXPECT_EQ(result.status, 64);
  EXPECT_NE(result.err.find("torvo-agent: refusing to start: " + description + "\n"),
            std::string::npos)
      << result.err;
  EXPECT_NE(test::readFile(home / "logs" / "agent.log")
                .find("[agent] error: refusing to start: " + description),
            std::string::npos);
}

}  // namespace
}  // namespace torvo
