#include "platform/linux/power_alarm_wakes.h"

#include <cerrno>
#include <ctime>

#include <gtest/gtest.h>

namespace torvo {
namespace {

using Json = nlohmann::json;

const std::string owner = "com.quorvantelix.Torvo";

Json event(double time, const std::string& by = owner, const std::string& type = "wake") {
  return {{"time", time}, {"scheduledby", by}, {"eventtype", type}};
}

// CLOCK_REALTIME behaves as the alarm clock does, without the privilege it needs.
class AlarmWakesTest : public ::testing::Test {
 protected:
  double inAnHour_ = static_cast<double>(std::time(nullptr) + 3600);
  AlarmWakes wakes_{CLOCK_REALTIME};
};

TEST_F(AlarmWakesTest, ListsScheduledWakesUntilCancelledExactly) {
  ASSERT_EQ(wakes_.schedule(inAnHour_, owner, "wake"), 0);
  ASSERT_EQ(wakes_.schedule(inAnHour_, "someone.else", "wake"), 0);
  ASSERT_EQ(wakes_.schedule(inAnHour_ + 60.5, owner, "wake"), 0);
  EXPECT_EQ(wakes_.list(), Json::array({event(inAnHour_), event(inAnHour_, "someone.else"),
                                        event(inAnHour_ + 60.5)}));

  wakes_.cancel(inAnHour_ + 0.5, owner, "wake");
  wakes_.cancel(inAnHour_, owner, "poweron");
  EXPECT_EQ(wakes_.list().size(), 3u);

  wakes_.cancel(inAnHour_, owner, "wake");
  EXPECT_EQ(wakes_.list(), Json::array({event(inAnHour_, "someone.else"), event(inAnHour_ + 60.5)}));
}

TEST_F(AlarmWakesTest, AWakeWhoseTimeHasPassedIsNoLongerListed) {
  ASSERT_EQ(wakes_.schedule(static_cast<double>(std::time(nullptr) - 10), owner, "wake"), 0);
  EXPECT_EQ(wakes_.list(), Json::array());
}

TEST_F(AlarmWakesTest, RefusesWhatItCannotSchedule) {
  EXPECT_EQ(wakes_.schedule(inAnHour_, owner, "poweron"), -EINVAL);
  EXPECT_EQ(wakes_.schedule(-5, owner, "wake"), -EINVAL);
  EXPECT_EQ(wakes_.schedule(1e300, owner, "wake"), -EINVAL);
  EXPECT_EQ(wakes_.list(), Json::array());
}

}  // namespace
}  // namespace torvo
