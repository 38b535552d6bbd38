#include "kit/config.h"

#include <gtest/gtest.h>

#include <limits>

#include "kit/messages.h"

namespace torvo {
namespace {

TEST(AgentConfigTest, ClampCheckInPicksNearestChoiceSmallerOnTies) {
  const struct {
    std::int64_t in, out;
  } cases[] = {
      {0, 15},  {-5, 15}, {15, 15}, {22, 15}, {23, 30}, {30, 30},   {45, 30},
      {46, 60}, {60, 60}, {1000, 60},
      {std::numeric_limits<std::int64_t>::min(), 15}, {std::numeric_limits<std::int64_t>::max(), 60},
  };
  for (const auto& c : cases) EXPECT_EQ(AgentConfig::clampCheckIn(c.in), c.out) << c.in;
}

TEST(AgentConfigTest, EveryWayOfSettingClamps) {
  const AgentConfig built(20, 30);
  EXPECT_EQ(built.checkInMinutes(), 15);
  EXPECT_EQ(built.awakeHoursDefault(), 24);

  AgentConfig config;
  config.setAwakeHoursDefault(0);
  config.setCheckInMinutes(50);
  EXPECT_EQ(config.awakeHoursDefault(), 1);
  EXPECT_EQ(config.checkInMinutes(), 60);
  config.setAwakeHoursDefault(std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(config.awakeHoursDefault(), 1);
}

TEST(AgentConfigTest, ApplyingChangesOnlyTheIntervalAndOnlyWhenGiven) {
  const AgentConfig config(30, 5);
  EXPECT_EQ(config.applying(ConfigChange{std::nullopt, "a", 1, "p"}), config);
  EXPECT_EQ(config.applying(ConfigChange{45, "a", 1, "p"}), AgentConfig(30, 5));
  EXPECT_EQ(config.applying(ConfigChange{2, "a", 1, "p"}), AgentConfig(15, 5));
}

TEST(AgentConfigTest, JSONWritesBothKeysInOrder) {
  EXPECT_EQ(JSONFields::compact(AgentConfig().toJSON()), R"({"awakeHoursDefault":3,"checkIn":15})");
}

TEST(AgentConfigTest, JSONReadingDefaultsClampsAndRefusesWrongKinds) {
  const struct {
    const char* json;
    std::optional<AgentConfig> expected;
  } cases[] = {
      {R"({})", AgentConfig(15, 3)},
      {R"({"checkIn":null,"awakeHoursDefault":null})", AgentConfig(15, 3)},
      {R"({"checkIn":20,"awakeHoursDefault":30})", AgentConfig(15, 24)},
      {R"({"checkIn":60,"awakeHoursDefault":8,"future":"x"})", AgentConfig(60, 8)},
      {R"({"checkIn":30.0})", AgentConfig(30, 3)},
      {R"({"checkIn":"30"})", std::nullopt},
      {R"({"checkIn":30.5})", std::nullopt},
      {R"({"awakeHoursDefault":true})", std::nullopt},
      {R"([])", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto read = AgentConfig::fromJSON(nlohmann::json::parse(c.json));
    if (c.expected) {
      ASSERT_TRUE(read.has_value()) << c.json;
      EXPECT_EQ(*read, *c.expected) << c.json;
    } else {
      EXPECT_FALSE(read.has_value()) << c.json;
    }
  }
}

// Times in Europe/Berlin. 2024-06-10 is an ordinary summer day; on 2024-03-31 the clocks go
// from 02:00 to 03:00 and on 2024-10-27 from 03:00 back to 02:00.
class NextCheckInTest : public ::testing::Test {
 protected:
  const Calendar berlin{"Europe/Berlin"};
  static constexpr std::int64_t june10 = 1718006400 - 10 * 3600;  // 2024-06-10 00:00 local
  static constexpr std::int64_t march31 = 1711839600;             // 2024-03-31 00:00 local (CET)
  static constexpr std::int64_t october27 = 1729980000;           // 2024-10-27 00:00 local (CEST)

  static std::int64_t at(std::int64_t day, int h, int m, int s) { return day + h * 3600 + m * 60 + s; }
};

TEST_F(NextCheckInTest, SlotsOnAnOrdinaryDay) {
  const struct {
    std::int64_t minutes, after, expected;
  } cases[] = {
      {15, at(june10, 10, 0, 0), at(june10, 10, 15, 0)},
      {15, at(june10, 10, 13, 29), at(june10, 10, 15, 0)},
      {15, at(june10, 10, 13, 30), at(june10, 10, 30, 0)},  // exactly 90 s away: skipped
      {30, at(june10, 10, 29, 59), at(june10, 11, 0, 0)},
      {60, at(june10, 23, 58, 0), at(june10, 24, 0, 0)},
      {60, at(june10, 23, 59, 0), at(june10, 25, 0, 0)},  // midnight too close: next day's 01:00
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AgentConfig(c.minutes, 3).nextCheckIn(c.after, berlin), c.expected) << c.minutes << " " << c.after;
  }
}

TEST_F(NextCheckInTest, CountsElapsedSecondsFromMidnightOnDaysWhenClocksChange) {
  // 01:59 CET on the spring day: 02:15 elapsed is 03:15 on the clock (01:15 UTC).
  EXPECT_EQ(AgentConfig(15, 3).nextCheckIn(at(march31, 1, 59, 0), berlin), 1711847700);
  // The autumn day lasts 25 hours; its last slot is followed by the next local midnight.
  EXPECT_EQ(AgentConfig(60, 3).nextCheckIn(at(october27, 24, 58, 0), berlin), october27 + 25 * 3600);
  // Second pass through 02:30 (3.5 h elapsed): the next quarter is 02:45 CET.
  EXPECT_EQ(AgentConfig(15, 3).nextCheckIn(at(october27, 3, 30, 0), berlin), at(october27, 3, 45, 0));
  // Just before the spring day's midnight the day before (24 h long) ends at 00:00 CET.
  EXPECT_EQ(AgentConfig(30, 3).nextCheckIn(march31 - 60, berlin), march31 + 1800);
}

TEST_F(NextCheckInTest, DayWhoseMidnightIsSkippedStartsAtTheFirstValidInstant) {
  // In São Paulo on 2018-11-04 the clocks went from 00:00 to 01:00 (03:00 UTC); that instant
  // is the start of the day.
  const Calendar saoPaulo{"America/Sao_Paulo"};
  constexpr std::int64_t dayStart = 1541300400;
  EXPECT_EQ(saoPaulo.startOfDay(dayStart + 5000), dayStart);
  EXPECT_EQ(AgentConfig(15, 3).nextCheckIn(dayStart, saoPaulo), dayStart + 900);
  EXPECT_EQ(AgentConfig(60, 3).nextCheckIn(dayStart - 60, saoPaulo), dayStart + 3600);
}

// The simulated clock may sit at either end of the int64 range: a check-in time beyond its
// end is its last second, and one near its start still lies just over 90 seconds ahead.
TEST(AgentConfigTest, NextCheckInAtTheEndsOfTheRange) {
  constexpr std::int64_t highest = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
  for (const Calendar& calendar : {Calendar{"UTC"}, Calendar{"Europe/Berlin"}}) {
    for (const std::int64_t minutes : {15, 60}) {
      const AgentConfig config(minutes, 3);
      for (const std::int64_t after : {highest, highest - 1, highest - 60}) {
        EXPECT_EQ(config.nextCheckIn(after, calendar), highest) << calendar.timeZone << " " << after;
      }
      for (const std::int64_t after : {lowest, lowest + 1}) {
        const __int128 ahead = static_cast<__int128>(config.nextCheckIn(after, calendar)) - after;
        EXPECT_TRUE(ahead > 90 && ahead <= 90 + minutes * 60) << calendar.timeZone << " " << after;
      }
    }
  }
}

}  // namespace
}  // namespace torvo
