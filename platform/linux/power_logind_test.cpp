// The logind path against python-dbusmock's logind template on a private bus that stands in
// for the system bus.
#include "platform/linux/power_logind.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/linux/power_linux_platform.h"
#include "power/power_system.h"
#include "tests/test_support.h"

extern char** environ;

namespace torvo {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

const char* const python = "/usr/bin/python3";
const char* const dbusDaemon = "/usr/bin/dbus-daemon";

struct BusUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusUnref>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// A dbus-daemon in a scratch folder with dbusmock's logind on it, exported to this process as
// the system bus. Everything started is stopped again in TearDown.
class MockLogindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(dbusDaemon)) GTEST_SKIP() << "dbus-daemon is not installed";
    if (test::run({python, "-c", "import dbusmock"}).status != 0) {
      GTEST_SKIP() << "python3-dbusmock is not installed";
    }
    if (const char* saved = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) savedAddress_ = saved;

    const test::ProcessResult daemon =
        test::run({dbusDaemon, "--session", "--fork", "--print-address=1", "--print-pid=1",
                   "--address=unix:path=" + (dir_ / "bus").string()});
    ASSERT_EQ(daemon.status, 0) << daemon.err;
    std::istringstream lines(daemon.out);
    std::string address;
    ASSERT_TRUE(std::getline(lines, address) && lines >> daemonPID_) << daemon.out;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);

    const std::string logFile = (dir_ / "mock.log").string();
    const char* argv[] = {python, "-m", "dbusmock", "--template", "logind", "-l", logFile.c_str(),
                          nullptr};
    ASSERT_EQ(::posix_spawn(&mockPID_, python, nullptr, nullptr, const_cast<char**>(argv), environ),
              0);
    ASSERT_TRUE(waitForLogind()) << "the mock logind did not appear on the bus";
  }

  void TearDown() override {
    if (mockPID_ > 0) {
      ::kill(mockPID_, SIGTERM);
      ::waitpid(mockPID_, nullptr, 0);
    }
    if (daemonPID_ > 0) ::kill(daemonPID_, SIGTERM);
    if (savedAddress_) {
      ::setenv("DBUS_SYSTEM_BUS_ADDRESS", savedAddress_->c_str(), 1);
    } else {
      ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
  }

  static Bus bus() {
    sd_bus* raw = nullptr;
    if (sd_bus_open_system(&raw) < 0) return nullptr;
    return Bus(raw);
  }

  // Calls a method on the mock; null when the call fails.
  static Message call(const char* path, const char* interface, const char* member,
                      const char* signature = nullptr, const char* a = nullptr,
                      const char* b = nullptr, std::uint32_t uid = 0, const char* c = nullptr,
                      int flag = 0) {
    const Bus connection = bus();
    if (!connection) return nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = 0;
    if (signature == nullptr) {
      r = sd_bus_call_method(connection.get(), "org.freedesktop.login1", path, interface, member,
                             &error, &reply, nullptr);
    } else {
      r = sd_bus_call_method(connection.get(), "org.freedesktop.login1", path, interface, member,
                             &error, &reply, signature, a, b, uid, c, flag);
    }
    sd_bus_error_free(&error);
    return r < 0 ? nullptr : Message(reply);
  }

  bool waitForLogind() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      const Bus connection = bus();
      if (connection) {
        sd_bus_message* reply = nullptr;
        const int r = sd_bus_call_method(connection.get(), "org.freedesktop.DBus",
                                         "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                         "NameHasOwner", nullptr, &reply, "s",
                                         "org.freedesktop.login1");
        int has = 0;
        if (r >= 0) sd_bus_message_read(reply, "b", &has);
        sd_bus_message_unref(reply);
        if (has) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // The mock's inhibitors as "what|who|why|mode".
  static Strings inhibitors() {
    Strings result;
    const Message reply = call("/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                               "ListInhibitors");
    if (!reply) return {"<ListInhibitors failed>"};
    sd_bus_message_enter_container(reply.get(), 'a', "(ssssuu)");
    const char *what, *who, *why, *mode;
    std::uint32_t uid, pid;
    while (sd_bus_message_read(reply.get(), "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) >
           0) {
      result.push_back(std::string(what) + "|" + who + "|" + why + "|" + mode);
    }
    std::sort(result.begin(), result.end());
    return result;
  }

  // The inhibitors once they have settled on `expected` (the mock drops a released lock when
  // it notices the closed pipe), or what they are after a generous wait.
  static Strings inhibitorsSettlingOn(const Strings& expected) {
    Strings now = inhibitors();
    for (int i = 0; i < 100 && now != expected; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      now = inhibitors();
    }
    return now;
  }

  // The recorded calls on a mock object as "<method> <bool arguments>".
  static Strings callsOn(const char* path) {
    Strings result;
    const Message reply = call(path, "org.freedesktop.DBus.Mock", "GetCalls");
    if (!reply) return {"<GetCalls failed>"};
    sd_bus_message* m = reply.get();
    sd_bus_message_enter_container(m, 'a', "(tsav)");
    while (sd_bus_message_enter_container(m, 'r', "tsav") > 0) {
      std::uint64_t time = 0;
      const char* method = nullptr;
      sd_bus_message_read(m, "ts", &time, &method);
      std::string text = method;
      sd_bus_message_enter_container(m, 'a', "v");
      char type = 0;
      const char* contents = nullptr;
      while (sd_bus_message_peek_type(m, &type, &contents) > 0) {
        sd_bus_message_enter_container(m, 'v', contents);
        int flag = 0;
        if (std::string_view(contents) == "b" && sd_bus_message_read(m, "b", &flag) > 0) {
          text += flag ? " true" : " false";
        } else {
          sd_bus_message_skip(m, contents);
          text += " ?";
        }
        sd_bus_message_exit_container(m);
      }
      sd_bus_message_exit_container(m);
      sd_bus_message_exit_container(m);
      result.push_back(text);
    }
    return result;
  }

  test::TempDir dir_;
  pid_t daemonPID_ = 0;
  pid_t mockPID_ = 0;
  std::optional<std::string> savedAddress_;
};

TEST_F(MockLogindTest, InhibitTakesABlockLockThatClosingReleases) {
  const auto fd = Logind::inhibit("sleep", "Torvo", "Torvo: until 18:00", "block");
  ASSERT_TRUE(fd.has_value()) << fd.error();
  EXPECT_EQ(inhibitors(), Strings{"sleep|Torvo|Torvo: until 18:00|block"});
  ::close(*fd);
  EXPECT_EQ(inhibitorsSettlingOn({}), Strings{});
}

TEST_F(MockLogindTest, SystemPowerHoldsAndReleasesThroughLogind) {
  test::RecordingLog log;
  SystemPower power(log, std::make_unique<LinuxPowerPlatform>());

  // The check-in holds off a desktop's idle suspend (a "sleep" request) as well as logind's
  // own idle action, even without a hold beside it.
  power.beginCheckIn();
  EXPECT_EQ(inhibitors(), Strings{"idle:sleep|Torvo|Torvo: checking in|block"});

  power.holdAwake("until 18:00");
  EXPECT_EQ(inhibitors(), (Strings{"idle:sleep|Torvo|Torvo: checking in|block",
                                   "idle:sleep|Torvo|Torvo: until 18:00|block",
                                   "sleep|Torvo|Torvo: until 18:00|block"}));

  power.holdAwake("until 20:00");
  power.endCheckIn();
  EXPECT_EQ(inhibitorsSettlingOn({"idle:sleep|Torvo|Torvo: until 20:00|block",
                                  "sleep|Torvo|Torvo: until 20:00|block"}),
            (Strings{"idle:sleep|Torvo|Torvo: until 20:00|block",
                     "sleep|Torvo|Torvo: until 20:00|block"}));

  power.releaseAwake();
  EXPECT_EQ(inhibitorsSettlingOn({}), Strings{});
  EXPECT_TRUE(log.has("info", "released the awake assertions"));
}

TEST_F(MockLogindTest, UserActivityMarksTheConsoleSessionActive) {
  EXPECT_LT(Logind::markConsoleActive(), 0) << "no seat0 yet";
  // A seat without an active session answers the same way.
  ASSERT_TRUE(call("/org/freedesktop/login1", "org.freedesktop.DBus.Mock", "AddSeat", "s",
                   "seat0"));
  EXPECT_EQ(Logind::markConsoleActive(), -ENOENT);

  ASSERT_TRUE(call("/org/freedesktop/login1", "org.freedesktop.DBus.Mock", "AddSession", "ssusb",
                   "c1", "seat0", 1000, "anna", 1));
  test::RecordingLog log;
  SystemPower power(log, std::make_unique<LinuxPowerPlatform>());
  power.declareUserActivity();
  EXPECT_EQ(callsOn("/org/freedesktop/login1/session/c1"), Strings{"SetIdleHint false"});
  EXPECT_TRUE(log.has("info", "declared user activity (full wake)"));
}

}  // namespace
}  // namespace torvo
