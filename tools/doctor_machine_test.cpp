// The probes of the real Doctor::Machine, as far as this machine lets them run: interface
// filtering over a sysfs-like folder, the Wake-on-LAN ioctl on the kernel's own interfaces,
// systemctl stand-ins, a private bus with and without a mock logind, and a scripted relay.
#include "tools/doctor_machine.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/relay_test_responder.h"
#include "platform/linux/wired_interfaces.h"
#include "tests/test_support.h"

extern char** environ;

namespace torvo {
namespace {

namespace fs = std::filesystem;
using Doctor::LocalMachine;
using Doctor::WakeOnLan;

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

TEST(DoctorMachineTest, WakeOnLanOfInterfacesThatCannotBeRead) {
  const auto missing = LocalMachine::readWakeOnLan("torvo-none0");
  EXPECT_EQ(missing.wakeOnLan, WakeOnLan::unreadable);
  EXPECT_FALSE(missing.detail.empty());
  // A name that does not fit the request's 16-byte field is refused before the ioctl.
  const auto tooLong = LocalMachine::readWakeOnLan(std::string(40, 'e'));
  EXPECT_EQ(tooLong.wakeOnLan, WakeOnLan::unreadable);
  EXPECT_EQ(tooLong.name, std::string(40, 'e'));
  EXPECT_EQ(LocalMachine::readWakeOnLan("").wakeOnLan, WakeOnLan::unreadable);
}

TEST(DoctorMachineTest, WakeOnLanOfTheKernelsInterfaces) {
  if (::geteuid() != 0) GTEST_SKIP() << "the kernel reads Wake-on-LAN only for root";
  // The loopback interface has no Wake-on-LAN at all.
  const auto loopback = LocalMachine::readWakeOnLan("lo");
  EXPECT_EQ(loopback.wakeOnLan, WakeOnLan::notSupported) << loopback.detail;
  // Every wired interface of this machine gives an answer, whatever its driver supports: a
  // malformed request would come back as an error instead.
  for (const auto& name : WiredInterfaces::names()) {
    const auto wired = LocalMachine::readWakeOnLan(name);
    EXPECT_NE(wired.wakeOnLan, WakeOnLan::unreadable) << name << ": " << wired.detail;
    EXPECT_NE(wired.wakeOnLan, WakeOnLan::needsRoot) << name;
  }
}

TEST(DoctorMachineTest, WakeOnLanAsAnUnprivilegedUserNeedsRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(test::nobodyGID) != 0 || ::setuid(test::nobodyUID) != 0) ::_exit(100);
    ::_exit(static_cast<int>(LocalMachine::readWakeOnLan("lo").wakeOnLan));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(WakeOnLan::needsRoot));
}

class DoctorServiceTest : public ::testing::Test {
 protected:
  LocalMachine::Places places() const {
    return {.socket = dir_ / "agent.sock",
            .unitFolders = {dir_ / "lib", dir_ / "usr-lib", dir_ / "etc"},
            .systemdRuntime = dir_ / "run-systemd",
            .systemctl = dir_ / "systemctl"};
  }
  // A systemctl stand-in that answers each verb as the real one does, exit status included,
  // and keeps its arguments.
  void systemctl(const std::string& body) {
    write(dir_ / "systemctl", "#!/bin/sh\necho \"$@\" >> " + (dir_ / "asked").string() + "\n" +
                                  body);
    fs::permissions(dir_ / "systemctl", fs::perms::owner_all);
  }

  test::TempDir dir_;
};

TEST_F(DoctorServiceTest, WithoutSystemdOnlyTheUnitFileIsLookedFor) {
  write(dir_ / "usr-lib" / "torvo-agent.service", "[Unit]\n");
  write(dir_ / "etc" / "torvo-agent.service", "[Unit]\n");
  systemctl("echo enabled\n");
  LocalMachine machine(places());
  const Doctor::ServiceState state = machine.service();
  EXPECT_EQ(state, (Doctor::ServiceState{.systemdRunning = false,
                                         .unitFile = dir_ / "usr-lib" / "torvo-agent.service"}));
  EXPECT_FALSE(fs::exists(dir_ / "asked"));
}

TEST_F(DoctorServiceTest, SystemctlAnswersAreTakenWhateverTheirExitStatus) {
  fs::create_directories(dir_ / "run-systemd");
  struct Case {
    std::string script;
    std::optional<std::string> enabled;
    std::optional<std::string> active;
  };
  const Case cases[] = {
      {"case $1 in is-enabled) echo enabled;; is-active) echo active;; esac\n", "enabled",
       "active"},
      {"case $1 in is-enabled) echo disabled; exit 1;; is-active) echo '  inactive '; exit 3;; "
       "esac\n",
       "disabled", "inactive"},
      {"exit 4\n", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    fs::remove(dir_ / "asked");
    systemctl(c.script);
    LocalMachine machine(places());
    const Doctor::ServiceState state = machine.service();
    EXPECT_TRUE(state.systemdRunning);
    EXPECT_EQ(state.unitFile, std::nullopt);
    EXPECT_EQ(state.enabled, c.enabled);
    EXPECT_EQ(state.active, c.active);
    EXPECT_EQ(test::readFile(dir_ / "asked"),
              "is-enabled torvo-agent.service\nis-active torvo-agent.service\n");
  }
}

TEST(DoctorMachineTest, RelayHealth) {
  using test::ScriptedResponder;
  struct Case {
    std::string answer;
    std::string base;
    bool healthy;
    std::string reason;
  };
  const Case cases[] = {
      {ScriptedResponder::http(200, {}, "{\"healthy\":true}"), "", true, ""},
      {ScriptedResponder::http(204), "/base", true, ""},
      {ScriptedResponder::http(503), "", false, "HTTP status 503"},
  };
  for (const auto& c : cases) {
    ScriptedResponder relay({{c.answer}});
    LocalMachine machine({});
    const Doctor::Outcome health = machine.relayHealth(relay.url() + c.base);
    EXPECT_EQ(health.has_value(), c.healthy) << c.answer;
    if (!c.healthy) {
      EXPECT_EQ(health.error(), c.reason);
    }
    EXPECT_EQ(relay.requestLines(), std::vector<std::string>{"GET " + c.base + "/v1/health HTTP/1.1"});
  }

  // A port nothing listens on: the port of a responder that is gone.
  std::string closed;
  {
    ScriptedResponder gone({{ScriptedResponder::http(200)}});
    closed = gone.url();
  }
  LocalMachine machine({});
  const Doctor::Outcome refused = machine.relayHealth(closed);
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().starts_with("cannot connect")) << refused.error();
}

// The logind probe against a private bus standing in for the system bus: first with nothing
// on it, then with python-dbusmock's logind. Everything started is stopped in TearDown.
class DoctorLogindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* saved = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) saved_ = saved;
  }

  void TearDown() override {
    if (mockPID_ > 0) {
      ::kill(mockPID_, SIGTERM);
      ::waitpid(mockPID_, nullptr, 0);
    }
    if (daemonPID_ > 0) ::kill(daemonPID_, SIGTERM);
    if (saved_) {
      ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved_->c_str(), 1);
    } else {
      ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
  }

  // Starts a bus and makes it this process's system bus; false when dbus-daemon is missing.
  bool startBus() {
    if (!fs::exists(dbusDaemon)) return false;
    const test::ProcessResult daemon =
        test::run({dbusDaemon, "--session", "--fork", "--print-address=1", "--print-pid=1",
                   "--address=unix:path=" + (dir_ / "bus").string()});
    EXPECT_EQ(daemon.status, 0) << daemon.err;
    std::istringstream lines(daemon.out);
    std::string address;
    if (!std::getline(lines, address) || !(lines >> daemonPID_)) return false;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    return true;
  }

  bool startMockLogind() {
    if (test::run({python, "-c", "import dbusmock"}).status != 0) return false;
    const std::string log = (dir_ / "mock.log").string();
    const char* argv[] = {python, "-m", "dbusmock", "--template", "logind", "-l", log.c_str(),
                          nullptr};
    return ::posix_spawn(&mockPID_, python, nullptr, nullptr, const_cast<char**>(argv),
                         environ) == 0;
  }

  static constexpr const char* dbusDaemon = "/usr/bin/dbus-daemon";
  static constexpr const char* python = "/usr/bin/python3";
  test::TempDir dir_;
  std::optional<std::string> saved_;
  pid_t daemonPID_ = 0;
  pid_t mockPID_ = 0;
};

TEST_F(DoctorLogindTest, AnswersOnlyWhenLogindIsOnTheBus) {
  LocalMachine machine({});
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (dir_ / "no-bus").string()).c_str(), 1);
  const Doctor::Outcome noBus = machine.logind();
  ASSERT_FALSE(noBus);
  EXPECT_TRUE(noBus.error().starts_with("cannot open the system bus")) << noBus.error();

  if (!startBus()) GTEST_SKIP() << "dbus-daemon is not installed";
  const Doctor::Outcome nobodyThere = machine.logind();
  ASSERT_FALSE(nobodyThere);
  EXPECT_NE(nobodyThere.error().find("org.freedesktop.login1"), std::string::npos)
      << nobodyThere.error();

  if (!startMockLogind()) GTEST_SKIP() << "python3-dbusmock is not installed";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  Doctor::Outcome answer = machine.logind();
  while (!answer && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    answer = machine.logind();
  }
  EXPECT_TRUE(answer) << answer.error();
}

}  // namespace
}  // namespace torvo
