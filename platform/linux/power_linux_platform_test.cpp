// How the Linux power platform behaves where the system bus, logind or the alarm clock is
// missing: every operation fails as a value and SystemPower absorbs it.
#include "platform/linux/power_linux_platform.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "power/power_system.h"
#include "tests/test_support.h"

namespace torvo {
namespace {

using Strings = std::vector<std::string>;

class NoSystemBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* saved = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) saved_ = saved;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (dir_ / "no-bus").string()).c_str(), 1);
  }
  void TearDown() override {
    if (saved_) {
      ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved_->c_str(), 1);
    } else {
      ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
  }

  test::TempDir dir_;
  std::optional<std::string> saved_;
};

TEST_F(NoSystemBusTest, AssertionsFailAsValuesAndTheLogStaysQuiet) {
  LinuxPowerPlatform platform;
  const auto created = platform.createAssertion({"PreventSystemSleep", "Torvo: x", std::nullopt});
  ASSERT_FALSE(created.has_value());
  EXPECT_LT(created.error(), 0);
  EXPECT_EQ(platform.createAssertion({"SomethingElse", "Torvo: x", std::nullopt}).error(), -EINVAL);

  test::RecordingLog log;
  SystemPower power(log, std::make_unique<LinuxPowerPlatform>());
  power.beginCheckIn();
  power.holdAwake("until 18:00");
  power.releaseAwake();
  power.endCheckIn();
  EXPECT_TRUE(log.lines().empty()) << "nothing was held, so nothing was released";

  power.declareUserActivity();
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].message, "declared user activity (full wake)");
}

// Without CAP_WAKE_ALARM the alarm clock refuses; the wake falls back to pmset, which is not
// there either, and the agent goes on. Runs in a child that drops root when tests run as root.
TEST(LinuxPowerPlatform, WithoutTheWakeAlarmPrivilegeSchedulingIsLoggedAndAbsorbed) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::getuid() == 0 && (::setgid(test::nobodyGID) != 0 || ::setuid(test::nobodyUID) != 0)) {
      ::_exit(2);
    }
    test::RecordingLog log;
    auto owned = std::make_unique<LinuxPowerPlatform>();
    LinuxPowerPlatform& platform = *owned;
    SystemPower power(log, std::move(owned));
    power.scheduleWake(std::time(nullptr) + 3600);
    const auto lines = log.lines();
    const bool logged = lines.size() == 1 && lines[0].level == "error" &&
                        lines[0].message == "couldn't schedule wake (IOReturn -" +
                                                std::to_string(EPERM) + "); trying pmset";
    const bool nothingListed = platform.scheduledPowerEvents() == nlohmann::json::array();
    ::_exit(logged && nothingListed ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Where the alarm clock is available (root with CAP_WAKE_ALARM on a machine with a wake-capable
// clock), the agent's wake is held as a timer until cancelled.
TEST(LinuxPowerPlatform, ScheduledWakesAreTheAgentsOwnUntilCancelled) {
  test::RecordingLog log;
  auto owned = std::make_unique<LinuxPowerPlatform>();
  LinuxPowerPlatform& platform = *owned;
  SystemPower power(log, std::move(owned));
  const std::int64_t at = std::time(nullptr) + 3600;
  power.scheduleWake(at);
  if (!log.lines().empty() && log.lines()[0].level == "error") {
    GTEST_SKIP() << "no wake alarm here: " << log.lines()[0].message;
  }
  EXPECT_EQ(platform.scheduledPowerEvents(),
            nlohmann::json::array({{{"time", static_cast<double>(at)},
                                    {"scheduledby", "com.quorvantelix.Torvo"},
                                    {"eventtype", "wake"}}}));
  power.scheduleWake(at + 600);
  ASSERT_EQ(platform.scheduledPowerEvents()->size(), 1u);
  EXPECT_EQ((*platform.scheduledPowerEvents())[0]["time"], static_cast<double>(at + 600));
  power.cancelAllWakes();
  EXPECT_EQ(platform.scheduledPowerEvents(), nlohmann::json::array());
}

}  // namespace
}  // namespace torvo
