#include "power/simulated_power.h"

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/fakes/fake_power_platform.h"
#include "tests/test_support.h"

namespace torvo {
namespace {

using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

const PowerSource givenSource{72, true, true};

class SimulatedPowerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) savedTZ_ = tz;
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

  void writePowerFile(const std::string& content) { std::ofstream(powerFile_) << content; }

  Strings lines() const {
    Strings result;
    for (const auto& line : log_.lines()) {
      EXPECT_EQ(line.category, AgentLog::Category::power);
      result.push_back(line.level + ": " + line.message);
    }
    return result;
  }

  test::TempDir dir_;
  fs::path powerFile_ = dir_ / "power.json";
  test::RecordingLog log_;
  FakePowerPlatform facts_;
  SimulatedPower power_{&log_, givenSource, "Test Mac", powerFile_, facts_};

 private:
  std::optional<std::string> savedTZ_;
};

TEST_F(SimulatedPowerTest, RecordsEveryOperationAndSaysWhatItWouldDo) {
  power_.beginCheckIn();
  power_.scheduleWake(1700000000);
  power_.holdAwake("until 18:00");
  power_.declareUserActivity();
  power_.releaseAwake();
  power_.cancelAllWakes();
  power_.endCheckIn();
  EXPECT_EQ(power_.powerSource(), givenSource);
  EXPECT_EQ(power_.macName(), "Test Mac");

  EXPECT_EQ(power_.actions(),
            (Strings{"beginCheckIn", "scheduleWake", "holdAwake", "declareUserActivity",
                     "releaseAwake", "cancelAllWakes", "endCheckIn"}));
  EXPECT_EQ(lines(), (Strings{"info: would wake at 2023-11-14 22:13:20",
                              "info: would hold awake (until 18:00)",
                              "info: would declare user activity (full wake)",
                              "info: would release the awake assertions",
                              "info: would cancel scheduled wakes"}));
  EXPECT_EQ(power_.scheduled(), std::nullopt);
  EXPECT_EQ(power_.holding(), std::nullopt);
  EXPECT_EQ(power_.userActivity(), 1);
}

TEST_F(SimulatedPowerTest, RemembersTheLatestRequests) {
  power_.scheduleWake(100);
  power_.scheduleWake(200);
  power_.holdAwake("a");
  power_.holdAwake("b");
  power_.declareUserActivity();
  power_.declareUserActivity();
  EXPECT_EQ(power_.scheduled(), 200);
  EXPECT_EQ(power_.holding(), "b");
  EXPECT_EQ(power_.userActivity(), 2);

  power_.clearActions();
  EXPECT_TRUE(power_.actions().empty());
  power_.set(PowerSource{std::nullopt, false, true});
  EXPECT_EQ(power_.powerSource(), (PowerSource{std::nullopt, false, true}));
}

TEST_F(SimulatedPowerTest, ALineEqualToThePreviousOneIsDropped) {
  power_.holdAwake("until 18:00");
  power_.holdAwake("until 18:00");
  power_.releaseAwake();
  power_.releaseAwake();
  power_.holdAwake("until 18:00");
  EXPECT_EQ(power_.actions(),
            (Strings{"holdAwake", "holdAwake", "releaseAwake", "releaseAwake", "holdAwake"}));
  EXPECT_EQ(lines(), (Strings{"info: would hold awake (until 18:00)",
                              "info: would release the awake assertions",
                              "info: would hold awake (until 18:00)"}));
}

TEST_F(SimulatedPowerTest, WithoutALogEverythingIsStillRecorded) {
  SimulatedPower silent(nullptr, givenSource, "Test Mac", powerFile_, facts_);
  silent.holdAwake("x");
  silent.declareUserActivity();
  writePowerFile(R"({"clockOffset": 60})");
  EXPECT_EQ(silent.clockOffset(), 60);
  writePowerFile("not json");
  EXPECT_EQ(silent.clockOffset(), 60);
  EXPECT_EQ(silent.actions(), (Strings{"holdAwake", "declareUserActivity"}));
  EXPECT_EQ(silent.holding(), "x");
}

TEST_F(SimulatedPowerTest, MissingFactsAreReadOnceFromThePlatform) {
  facts_.setNames(std::nullopt, "host-name");
  facts_.setSnapshot(PowerSnapshot{"AC Power", std::vector<nlohmann::json>{}});
  SimulatedPower power(nullptr, std::nullopt, std::nullopt, std::nullopt, facts_);
  facts_.setNames("Later Name", std::nullopt);
  EXPECT_EQ(power.macName(), "host-name");
  EXPECT_EQ(power.powerSource(), (PowerSource{std::nullopt, false, true}));
  EXPECT_EQ(power.clockOffset(), 0);
}

TEST_F(SimulatedPowerTest, APowerFileSetsTheAbsoluteOffsetAndIsConsumed) {
  EXPECT_EQ(power_.clockOffset(), 0);
  EXPECT_TRUE(log_.lines().empty()) << "no file: silent";

  writePowerFile(R"({"clockOffset": 3600, "note": "ignored"})");
  EXPECT_EQ(power_.clockOffset(), 3600);
  EXPECT_FALSE(fs::exists(powerFile_));
  EXPECT_EQ(power_.clockOffset(), 3600);

  writePowerFile(R"({"clockOffset": -120})");
  EXPECT_EQ(power_.clockOffset(), -120);
  writePowerFile(R"({"clockOffset": 0})");
  EXPECT_EQ(power_.clockOffset(), 0);
  EXPECT_EQ(lines(), (Strings{"info: simulate: clock offset now 3600 s",
                              "info: simulate: clock offset now -120 s",
                              "info: simulate: clock offset now 0 s"}));
}

TEST_F(SimulatedPowerTest, AnUnusablePowerFileIsDeletedAndTheOffsetKept) {
  writePowerFile(R"({"clockOffset": 300})");
  ASSERT_EQ(power_.clockOffset(), 300);
  for (const char* content : {"not json", R"({"clockOffset": "3600"})", R"({"clockOffset": 1.5})",
                              R"([3600])", R"({"offset": 3600})", "",
                              R"({"clockOffset": 18446744073709551615})",
                              R"({"clockOffset": 1e30})"}) {
    SCOPED_TRACE(content);
    writePowerFile(content);
    EXPECT_EQ(power_.clockOffset(), 300);
    EXPECT_FALSE(fs::exists(powerFile_));
    EXPECT_EQ(lines().back(), "error: simulate: ignored an unreadable power file");
  }
}

TEST_F(SimulatedPowerTest, APowerFileThatIsNotARegularFileIsLeftAlone) {
  ASSERT_EQ(::mkfifo(powerFile_.c_str(), 0600), 0);
  EXPECT_EQ(power_.clockOffset(), 0) << "a pipe without a writer must not block the clock";
  EXPECT_TRUE(fs::exists(powerFile_));
  EXPECT_TRUE(log_.lines().empty());
}

}  // namespace
}  // namespace torvo
