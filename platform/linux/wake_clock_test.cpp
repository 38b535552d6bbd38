#include "platform/linux/wake_clock.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace torvo {
namespace {

TEST(WakeClockTest, NeedsAClockWithAWakeAlarm) {
  struct Case {
    const char* name;
    std::vector<std::string> files;  // created under the folder, relative
    bool canWake;
    const char* reason;  // after the folder's path
  };
  const Case cases[] = {
      {"no folder at all", {}, false, "no real-time clock under "},
      {"a clock with a wake alarm", {"rtc0/name", "rtc0/wakealarm"}, true, ""},
      {"the second clock wakes", {"rtc0/name", "rtc1/wakealarm"}, true, ""},
      {"a clock without one", {"rtc0/name"}, false, " supports wake alarms"},
      {"other entries are no clocks", {"power/wakealarm"}, false, "no real-time clock under "},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    const auto root = dir / "rtc";
    for (const auto& file : c.files) {
      std::filesystem::create_directories((root / file).parent_path());
      std::ofstream(root / file) << "\n";
    }
    const auto probe = WakeClock::probe(root);
    EXPECT_EQ(probe.canWake, c.canWake) << c.name;
    if (c.canWake) {
      EXPECT_EQ(probe.reason, "") << c.name;
    } else {
      EXPECT_NE(probe.reason.find(c.reason), std::string::npos) << c.name << ": " << probe.reason;
      EXPECT_NE(probe.reason.find(root.string()), std::string::npos) << c.name;
    }
  }
}

}  // namespace
}  // namespace torvo
