#include "setup/setup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/fakes/fake_system_settings.h"

namespace torvo {
namespace {

using test::FakeSystemSettings;
using UK = UpdateKey;

constexpr std::int64_t now = 1'700'000'000;

std::string fixture(const std::string& name) {
  std::ifstream in(std::filesystem::path(TORVO_SOURCE_DIR) / "tests/fixtures/setup" / name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> descriptions(const std::vector<SystemCommand>& commands) {
  std::vector<std::string> out;
  for (const auto& command : commands) out.push_back(command.description());
  return out;
}

const std::string domain = "/Library/Preferences/com.apple.SoftwareUpdate";

// Counts how often each update key is read.
class CountingSettings : public FakeSystemSettings {
 public:
  std::optional<std::string> readUpdate(UpdateKey key) override {
    ++reads[key];
    return FakeSystemSettings::readUpdate(key);
  }
  std::string pmsetCustom() override {
    ++reports;
    return FakeSystemSettings::pmsetCustom();
  }
  std::map<UpdateKey, int> reads;
  int reports = 0;
};

TEST(SetupParseACTest, ReadsOnlyTheACSection) {
  const auto values = Setup::parseAC(fixture("pmset_custom.txt"));
  const std::map<std::string, std::int64_t> expected = {
      {"Sleep On Power Button", 1}, {"standby", 1}, {"womp", 1},
      {"autorestart", 0},           {"sleep", -5},  {"tcpkeepalive", 2}};
  EXPECT_EQ(values, expected);
}

TEST(SetupParseACTest, EdgeCases) {
  EXPECT_TRUE(Setup::parseAC("Battery Power:\n womp 1\n").empty());
  EXPECT_TRUE(Setup::parseAC(" womp 1\nAC Power:\n").empty()) << "lines before any header";
  EXPECT_TRUE(Setup::parseAC("").empty());
  // Every Unicode line break separates lines; a later value replaces an earlier one.
  EXPECT_EQ(Setup::parseAC("AC Power:\r\n womp 0\xE2\x80\xA8 womp 1\x0B autorestart 1x"),
            (std::map<std::string, std::int64_t>{{"womp", 1}}));
  // A header ends the section; only headers that begin with "AC Power" start it.
  EXPECT_EQ(Setup::parseAC("AC Power Settings:\n womp 1\nUPS Power:\n autorestart 1\n"),
            (std::map<std::string, std::int64_t>{{"womp", 1}}));
  EXPECT_TRUE(Setup::parseAC("AC Power:\n womp\n 1\n womp 99999999999999999999\n").empty());
}

class SetupApplyTest : public ::testing::Test {
 protected:
  SetupApplyTest() { sys.report = "AC Power:\n womp 0\n autorestart 0\n"; }
  CountingSettings sys;
};

TEST_F(SetupApplyTest, NothingChosenRunsNothingAndReadsTheReportOnce) {
  const auto applied = Setup::apply({}, sys, std::nullopt, now);
  EXPECT_EQ(applied, (Setup::Applied{Backup(now), {}}));
  EXPECT_TRUE(sys.ran.empty());
  EXPECT_EQ(sys.reports, 1);
  EXPECT_TRUE(sys.reads.empty());

  Backup existing(5);
  existing.pmset["womp"] = 0;
  EXPECT_EQ(Setup::apply({}, sys, existing, now).backup, existing);
}

TEST_F(SetupApplyTest, ChangesEverythingAndSavesTheOldValues) {
  sys.updates = {{UK::AutomaticallyInstallMacOSUpdates, "1"}, {UK::AutomaticDownload, "0"}};
  const auto applied = Setup::apply({true, true, true}, sys, std::nullopt, now);
  EXPECT_TRUE(applied.failed.empty());
  EXPECT_EQ(descriptions(sys.ran),
            (std::vector<std::string>{
                "pmset -c womp 1", "pmset -a autorestart 1",
                "defaults write " + domain + " AutomaticallyInstallMacOSUpdates -bool false",
                "defaults write " + domain + " CriticalUpdateInstall -bool false"}));
  Backup expected(now);
  expected.pmset = {{"womp", 0}, {"autorestart", 0}};
  expected.updates = {{"AutomaticallyInstallMacOSUpdates", true},
                      {"AutomaticDownload", false},
                      {"CriticalUpdateInstall", std::nullopt}};
  EXPECT_EQ(applied.backup, expected);
}

TEST_F(SetupApplyTest, AValueAlreadySetIsRecordedAndLeftAlone) {
  sys.report = "AC Power:\n womp 1\n";
  const auto applied = Setup::apply({true, true, false}, sys, std::nullopt, now);
  EXPECT_TRUE(sys.ran.empty()) << "womp is already 1; autorestart is not offered";
  EXPECT_EQ(applied.backup.pmset, (std::map<std::string, std::int64_t>{{"womp", 1}}));
  EXPECT_EQ(descriptions(Setup::undoCommands(applied.backup)),
            std::vector<std::string>{"pmset -c womp 1"});
}

TEST_F(SetupApplyTest, ASecondApplyKeepsTheFirstSavedValues) {
  sys.updates = {{UK::AutomaticDownload, "true"}};
  const auto first = Setup::apply({true, false, true}, sys, std::nullopt, now);
  sys.report = "AC Power:\n womp 1\n autorestart 0\n";
  sys.updates = {{UK::AutomaticallyInstallMacOSUpdates, "0"},
                 {UK::AutomaticDownload, "0"},
                 {UK::CriticalUpdateInstall, "0"}};
  const auto second = Setup::apply({true, true, true}, sys, first.backup, now + 100);
  EXPECT_EQ(second.backup.takenAt, now);
  EXPECT_EQ(second.backup.pmset,
            (std::map<std::string, std::int64_t>{{"womp", 0}, {"autorestart", 0}}));
  EXPECT_EQ(second.backup.updates, first.backup.updates);
  EXPECT_EQ(second.backup.updates.at("AutomaticDownload"), true);
}

TEST_F(SetupApplyTest, FailuresAreMergedAndSortedAndTheBackupIsStillUpdated) {
  for (const auto key : allUpdateKeys) sys.failing.insert(SystemCommand::writeUpdate(key, false).description());
  sys.failing.insert("pmset -c womp 1");
  sys.failing.insert("pmset -a autorestart 1");
  const auto applied = Setup::apply({true, true, true}, sys, std::nullopt, now);
  EXPECT_EQ(applied.failed,
            (std::vector<std::string>{"Automatic updates", "Restart after a power cut",
                                      "Wake for network access"}));
  EXPECT_EQ(sys.ran.size(), 5u) << "every change is tried";
  EXPECT_EQ(applied.backup.pmset.size(), 2u);
  EXPECT_EQ(applied.backup.updates.size(), 3u);
}

TEST_F(SetupApplyTest, UpdatePreferenceReadings) {
  struct Case {
    std::optional<std::string> stored;
    std::optional<bool> reading;
    bool written;
  };
  const Case cases[] = {
      {"YES", true, true},   {"True", true, true},        {"1", true, true},
      {"no", false, false},  {"FALSE", false, false},     {"0", false, false},
      {"2", std::nullopt, true}, {"", std::nullopt, true}, {std::nullopt, std::nullopt, true},
  };
  for (const auto& c : cases) {
    CountingSettings one;
    for (const auto key : allUpdateKeys) {
      if (c.stored) one.updates[key] = *c.stored;
    }
    const auto applied = Setup::apply({false, false, true}, one, std::nullopt, now);
    const auto label = c.stored.value_or("(none)");
    EXPECT_EQ(applied.backup.updates.at("AutomaticDownload"), c.reading) << label;
    EXPECT_EQ(one.ran.size(), c.written ? 3u : 0u) << label;
    const auto undo = descriptions(Setup::undoCommands(applied.backup));
    ASSERT_EQ(undo.size(), 3u) << label;
    EXPECT_EQ(undo[1], c.reading ? "defaults write " + domain + " AutomaticDownload -bool " +
                                       (*c.reading ? "true" : "false")
                                 : "defaults delete " + domain + " AutomaticDownload")
        << label;
  }
}

TEST(SetupRecordTest, TheFirstScreenLockWins) {
  const auto first = Setup::record({ScreenLockSetting::seconds(300)}, std::nullopt, now);
  EXPECT_EQ(first.takenAt, now);
  EXPECT_EQ(first.screenLock, ScreenLockSetting::seconds(300));
  const auto second = Setup::record({ScreenLockSetting::off()}, first, now + 10);
  EXPECT_EQ(second, first);

  Backup withPower(7);
  withPower.pmset["womp"] = 0;
  const auto added = Setup::record({ScreenLockSetting::immediate()}, withPower, now);
  EXPECT_EQ(added.takenAt, 7);
  EXPECT_EQ(added.pmset, withPower.pmset);
  EXPECT_EQ(added.screenLock, ScreenLockSetting::immediate());
}

TEST(SetupStatusTest, ReadsSettingsAndSummarisesTheBackup) {
  CountingSettings sys;
  sys.report = "AC Power:\n womp 1\n autorestart 2\n";
  for (const auto key : allUpdateKeys) sys.updates[key] = "0";
  Backup backup(now);
  backup.pmset = {{"womp", 0}, {"autorestart", 1}};
  backup.updates = {{"AutomaticDownload", std::nullopt}};
  backup.screenLock = ScreenLockSetting::seconds(7200);
  const auto status = Setup::status(sys, backup);
  EXPECT_EQ(status.wakeForNetwork, true);
  EXPECT_EQ(status.restartAfterPowerCut, false);
  EXPECT_TRUE(status.updatesPaused);
  EXPECT_TRUE(status.hasBackup);
  EXPECT_EQ(status.undoSummary,
            (std::vector<std::string>{"Wake for network access: off",
                                      "Restart after a power cut: on",
                                      "Automatic updates: as before",
                                      "Screen lock: After 2 hours"}));
  EXPECT_TRUE(sys.ran.empty());
}

TEST(SetupStatusTest, UnreadableSettingsAndEmptyBackups) {
  CountingSettings sys;
  sys.updates = {{UK::AutomaticallyInstallMacOSUpdates, "1"}};
  const auto status = Setup::status(sys, std::nullopt);
  EXPECT_EQ(status, SetupStatus{});
  EXPECT_EQ(sys.reads, (std::map<UpdateKey, int>{{UK::AutomaticallyInstallMacOSUpdates, 1}}))
      << "reading stops at the first key that is not false";

  EXPECT_FALSE(Setup::status(sys, Backup(now)).hasBackup);
  Backup nullOnly(now);
  nullOnly.updates["CriticalUpdateInstall"] = std::nullopt;
  const auto withNull = Setup::status(sys, nullOnly);
  EXPECT_TRUE(withNull.hasBackup);
  EXPECT_EQ(withNull.undoSummary, std::vector<std::string>{"Automatic updates: as before"});
}

TEST(SetupUndoTest, RunsEveryCommandInOrderAndSortsOutcomes) {
  FakeSystemSettings sys;
  Backup backup(now);
  backup.pmset = {{"autorestart", 0}, {"womp", 1}};
  backup.updates = {{"CriticalUpdateInstall", true},
                    {"AutomaticallyInstallMacOSUpdates", std::nullopt}};
  backup.screenLock = ScreenLockSetting::seconds(90);
  sys.failing.insert("pmset -a autorestart 0");
  const auto result = Setup::undo(backup, sys);
  const std::vector<std::string> all = {
      "pmset -c womp 1", "pmset -a autorestart 0",
      "defaults delete " + domain + " AutomaticallyInstallMacOSUpdates",
      "defaults write " + domain + " CriticalUpdateInstall -bool true"};
  EXPECT_EQ(descriptions(sys.ran), all);
  EXPECT_EQ(result.failed, std::vector<std::string>{"pmset -a autorestart 0"});
  EXPECT_EQ(result.restored, (std::vector<std::string>{all[0], all[2], all[3]}));
  EXPECT_EQ(result.screenLock, ScreenLockSetting::seconds(90));
}

TEST(SetupUndoTest, ABackupWithoutSettingsRunsNothing) {
  FakeSystemSettings sys;
  Backup backup(now);
  backup.screenLock = ScreenLockSetting::off();
  EXPECT_EQ(Setup::undo(backup, sys), (UndoResult{{}, {}, ScreenLockSetting::off()}));
  EXPECT_TRUE(sys.ran.empty());
}

TEST(ScreenLockLabelTest, Labels) {
  const std::pair<ScreenLockSetting, std::string> cases[] = {
      {ScreenLockSetting::off(), "Never"},
      {ScreenLockSetting::immediate(), "Immediately"},
      {ScreenLockSetting::seconds(3600), "After 1 hour"},
      {ScreenLockSetting::seconds(7200), "After 2 hours"},
      {ScreenLockSetting::seconds(60), "After 1 minute"},
      {ScreenLockSetting::seconds(300), "After 5 minutes"},
      {ScreenLockSetting::seconds(5400), "After 90 minutes"},
      {ScreenLockSetting::seconds(90), "After 90 seconds"},
      {ScreenLockSetting::seconds(1), "After 1 second"},
  };
  for (const auto& [setting, text] : cases) EXPECT_EQ(label(setting), text);
}

TEST(ScreenLockParseTest, Texts) {
  const std::pair<std::string, std::optional<ScreenLockSetting>> cases[] = {
      {"screenLock delay is 300 seconds", ScreenLockSetting::seconds(300)},
      {"Delay: 1 second.", ScreenLockSetting::seconds(1)},
      {"screenLock delay is 0 seconds", ScreenLockSetting::immediate()},
      {"screenLock delay is 86400 seconds", ScreenLockSetting::seconds(86400)},
      {"screenLock delay is 86401 seconds", std::nullopt},
      {"screenLock is off (300 seconds)", ScreenLockSetting::off()},
      {"Screen lock IS OFF", ScreenLockSetting::off()},
      {"screenLock delay is immediate", ScreenLockSetting::immediate()},
      {"seconds 300", std::nullopt},
      {"wait -5 seconds", ScreenLockSetting::seconds(5)},
      {"x 12 minutes 30 seconds", ScreenLockSetting::seconds(30)},
      {"", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parseScreenLock(text), expected) << text;
}

}  // namespace
}  // namespace torvo
