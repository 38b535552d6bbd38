#include "platform/linux/wake_notifications.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace torvo {
namespace {

TEST(WakeNotifications, OneCallPerResumeOfAtLeastASecond) {
  asio::io_context io;
  test::RecordingLog log;
  std::int64_t suspended = 5000;
  int wakes = 0;
  WakeNotifications notifications(io, log, [&] { ++wakes; }, [&] { return suspended; });

  notifications.check();
  EXPECT_EQ(wakes, 0);
  suspended += 999;  // too short to be a resume
  notifications.check();
  EXPECT_EQ(wakes, 0);
  suspended += 1;
  notifications.check();
  notifications.check();  // a second source noticing the same resume
  EXPECT_EQ(wakes, 1);
  suspended += 60'000;
  notifications.check();
  EXPECT_EQ(wakes, 2);
}

TEST(WakeNotifications, WithoutASystemBusTheClockCheckCarriesOn) {
  test::TempDir dir;
  const char* saved = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  const std::string restore = saved ? saved : "";
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (dir / "no-bus").string()).c_str(), 1);

  asio::io_context io;
  test::RecordingLog log;
  std::int64_t suspended = 0;
  int wakes = 0;
  WakeNotifications notifications(io, log, [&] { ++wakes; }, [&] { return suspended; });
  EXPECT_FALSE(notifications.start());
  EXPECT_TRUE(log.has("error", "couldn't register for wake notifications; relying on the timer"));

  suspended = 3000;
  io.run_for(WakeNotifications::checkEvery + std::chrono::seconds(1));
  EXPECT_EQ(wakes, 1);

  if (saved) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", restore.c_str(), 1);
  } else {
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }
}

}  // namespace
}  // namespace torvo
