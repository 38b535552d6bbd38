#include "power/power_system.h"

#include <cstdlib>
#include <ctime>
#include <memory>

#include <gtest/gtest.h>

#include "tests/fakes/fake_power_platform.h"
#include "tests/test_support.h"

namespace torvo {
namespace {

using Json = nlohmann::json;
using Strings = std::vector<std::string>;

constexpr std::int64_t T = 1700000000;  // 2023-11-14 22:13:20 UTC
const std::string owner = "com.quorvantelix.Torvo";
const std::string idle = "PreventUserIdleSystemSleep";
const std::string sleepType = "PreventSystemSleep";

Json event(double time, const std::string& by = owner, const std::string& type = "wake") {
  return {{"time", time}, {"scheduledby", by}, {"eventtype", type}};
}

class SystemPowerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    if (tz != nullptr) savedTZ_ = tz;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  void TearDown() override {
    if (savedTZ_) {
      ::setenv("TZ", savedTZ_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

  Strings infoAndErrorLines() const {
    Strings lines;
    for (const auto& line : log_.lines()) lines.push_back(line.level + ": " + line.message);
    return lines;
  }

  test::RecordingLog log_;
  std::unique_ptr<FakePowerPlatform> owned_ = std::make_unique<FakePowerPlatform>();
  FakePowerPlatform& platform_ = *owned_;
  SystemPower power_{log_, std::move(owned_)};

 private:
  std::optional<std::string> savedTZ_;
};

TEST_F(SystemPowerTest, SchedulesAWakeAndLogsItOnce) {
  power_.scheduleWake(T);
  ASSERT_EQ(platform_.events(), Json::array({event(T)}));
  EXPECT_EQ(infoAndErrorLines(), Strings{"info: scheduled wake at 2023-11-14 22:13:20"});

  platform_.clearCalls();
  power_.scheduleWake(T);
  EXPECT_EQ(platform_.calls(), (Strings{"list", "list"}));
  EXPECT_EQ(log_.lines().size(), 1u);
}

TEST_F(SystemPowerTest, OneSecondDecidesWhetherAnExistingWakeIsKept) {
  struct Case {
    double existingOffset;
    bool kept;
  };
  for (const Case c : {Case{0.5, true}, Case{-0.999, true}, Case{1.0, false}, Case{-1.0, false},
                       Case{3600, false}}) {
    SCOPED_TRACE(c.existingOffset);
    auto owned = std::make_unique<FakePowerPlatform>();
    FakePowerPlatform& platform = *owned;
    test::RecordingLog log;
    SystemPower power(log, std::move(owned));
    platform.setEvents(Json::array({event(T + c.existingOffset)}));

    power.scheduleWake(T);

    if (c.kept) {
      EXPECT_EQ(platform.events(), Json::array({event(T + c.existingOffset)}));
      EXPECT_TRUE(log.lines().empty());
    } else {
      EXPECT_EQ(platform.events(), Json::array({event(T)}));
      EXPECT_TRUE(log.has("info", "scheduled wake at 2023-11-14 22:13:20"));
    }
  }
}

TEST_F(SystemPowerTest, OnlyTheAgentsOwnWakesAreCancelled) {
  const Json foreign = Json::array({
      event(T - 100, owner, "poweron"),
      event(T - 100, "com.apple.alarm", "wake"),
      {{"scheduledby", owner}, {"eventtype", "wake"}},
      {{"time", "soon"}, {"scheduledby", owner}, {"eventtype", "wake"}},
      {{"time", T - 100}, {"eventtype", "wake"}},
  });
  Json events = foreign;
  events.push_back(event(T - 100));
  events.push_back(event(T + 7200));
  platform_.setEvents(events);

  power_.scheduleWake(T);
  Json expected = foreign;
  expected.push_back(event(T));
  EXPECT_EQ(platform_.events(), expected);

  power_.cancelAllWakes();
  EXPECT_EQ(platform_.events(), foreign);
  EXPECT_EQ(log_.lines().size(), 1u) << "cancelling logs nothing";
}

TEST_F(SystemPowerTest, AListThatIsNotAllDictionariesCountsAsNoWakes) {
  for (const Json& events : {Json::array({event(T + 10), 42}), Json(event(T + 10))}) {
    SCOPED_TRACE(events.dump());
    platform_.setEvents(events);
    platform_.clearCalls();
    power_.cancelAllWakes();
    EXPECT_EQ(platform_.calls(), Strings{"list"});
  }
  platform_.setEvents(std::nullopt);
  power_.scheduleWake(T);
  EXPECT_EQ(platform_.events(), Json::array({event(T)}));
}

TEST_F(SystemPowerTest, ARefusedWakeFallsBackToPmsetOnce) {
  platform_.setScheduleStatus(-536870207);
  power_.scheduleWake(T);
  EXPECT_EQ(infoAndErrorLines(),
            Strings{"error: couldn't schedule wake (IOReturn -536870207); trying pmset"});
  const Strings calls = platform_.calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), "run /usr/bin/pmset schedule wake 11/14/23 22:13:20");
  EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                          [](const std::string& c) { return c.starts_with("run "); }),
            1);
}

TEST_F(SystemPowerTest, CheckInAssertionIsTakenOnceWithItsTimeLimit) {
  power_.beginCheckIn();
  power_.beginCheckIn();
  EXPECT_EQ(platform_.calls(),
            Strings{"create PreventUserIdleSystemSleep 'Torvo: checking in' timeout=120 -> 1"});

  power_.endCheckIn();
  power_.endCheckIn();
  EXPECT_EQ(platform_.calls().back(), "release 1");
  EXPECT_EQ(platform_.calls().size(), 2u);
  EXPECT_TRUE(platform_.assertions().empty());
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(SystemPowerTest, AFailedCheckInAssertionIsTriedAgainNextTime) {
  platform_.failAssertions({idle});
  power_.beginCheckIn();
  power_.endCheckIn();
  platform_.failAssertions({});
  power_.beginCheckIn();
  EXPECT_EQ(platform_.calls(),
            (Strings{"create PreventUserIdleSystemSleep 'Torvo: checking in' timeout=120 -> fail",
                     "create PreventUserIdleSystemSleep 'Torvo: checking in' timeout=120 -> 1"}));
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(SystemPowerTest, HoldIsTakenOncePerLabelAndSwappedWithoutAGap) {
  power_.holdAwake("until 18:00");
  power_.holdAwake("until 18:00");
  power_.holdAwake("until 20:00");
  EXPECT_EQ(platform_.calls(),
            (Strings{"create PreventUserIdleSystemSleep 'Torvo: until 18:00' -> 1",
                     "create PreventSystemSleep 'Torvo: until 18:00' -> 2",
                     "create PreventUserIdleSystemSleep 'Torvo: until 20:00' -> 3",
                     "create PreventSystemSleep 'Torvo: until 20:00' -> 4", "release 1",
                     "release 2"}));
  EXPECT_TRUE(log_.lines().empty());

  power_.releaseAwake();
  EXPECT_TRUE(platform_.assertions().empty());
  EXPECT_EQ(infoAndErrorLines(), Strings{"info: released the awake assertions"});

  platform_.clearCalls();
  power_.releaseAwake();
  EXPECT_TRUE(platform_.calls().empty());
  EXPECT_EQ(log_.lines().size(), 1u);
}

TEST_F(SystemPowerTest, AHoldThatCouldNotBeTakenIsTriedAgainWithTheSameLabel) {
  platform_.failAssertions({idle, sleepType});
  power_.holdAwake("until 18:00");
  power_.releaseAwake();
  EXPECT_TRUE(log_.lines().empty()) << "nothing was held, so nothing is released";

  platform_.failAssertions({sleepType});
  power_.holdAwake("until 18:00");
  power_.holdAwake("until 18:00");
  const auto held = platform_.assertions();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held.begin()->second.type, idle);
}

TEST_F(SystemPowerTest, UserActivityIsDeclaredAndLogged) {
  power_.declareUserActivity();
  EXPECT_EQ(platform_.calls(), Strings{"activity 'Torvo: Wake'"});
  EXPECT_EQ(infoAndErrorLines(), Strings{"info: declared user activity (full wake)"});
}

TEST_F(SystemPowerTest, FactsComeFromThePlatform) {
  platform_.setNames("Anna's Laptop", "anna-laptop");
  platform_.setSnapshot(PowerSnapshot{
      "AC Power", std::vector<Json>{{{"Type", "InternalBattery"}, {"Current Capacity", 50}}}});
  EXPECT_EQ(power_.macName(), "Anna's Laptop");
  EXPECT_EQ(power_.powerSource(), (PowerSource{50, false, true}));
}

}  // namespace
}  // namespace torvo
