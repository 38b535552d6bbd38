#include "power/power_time.h"

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

namespace torvo {
namespace {

// Sets TZ for one test and restores it afterwards.
class PowerTimeTest : public ::testing::Test {
 protected:
  void useZone(const char* zone) {
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
  }
  void TearDown() override {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(PowerTimeTest, BothFormsUseTheLocalTimeZoneAndA24HourClock) {
  useZone("UTC");
  EXPECT_EQ(PowerTime::stamp(1700000000), "2023-11-14 22:13:20");
  EXPECT_EQ(PowerTime::pmsetDate(1700000000), "11/14/23 22:13:20");
  EXPECT_EQ(PowerTime::stamp(0), "1970-01-01 00:00:00");

  useZone("Asia/Kolkata");
  EXPECT_EQ(PowerTime::stamp(1700000000), "2023-11-15 03:43:20");
  EXPECT_EQ(PowerTime::pmsetDate(1700000000), "11/15/23 03:43:20");
}

TEST_F(PowerTimeTest, ATimeTheCalendarCannotPlaceIsWrittenAsSeconds) {
  useZone("UTC");
  EXPECT_EQ(PowerTime::stamp(INT64_MAX), "9223372036854775807");
}

}  // namespace
}  // namespace torvo
