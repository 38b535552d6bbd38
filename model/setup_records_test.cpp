#include "model/setup_records.h"

#include <gtest/gtest.h>

#include "base/one_key_json.h"

namespace torvo {
namespace {

using json = nlohmann::json;

TEST(ScreenLockSetting, OneKeyObjects) {
  const std::pair<ScreenLockSetting, std::string> cases[] = {
      {ScreenLockSetting::off(), R"({"off":{}})"},
      {ScreenLockSetting::immediate(), R"({"immediate":{}})"},
      {ScreenLockSetting::seconds(300), R"({"seconds":{"_0":300}})"},
  };
  for (const auto& [setting, text] : cases) {
    EXPECT_EQ(setting.toJSON().dump(), text);
    EXPECT_EQ(ScreenLockSetting::fromJSON(json::parse(text)), setting) << text;
  }
  EXPECT_EQ(ScreenLockSetting::fromJSON(json::parse(R"({"off":{},"x":1})")),
            ScreenLockSetting::off());
}

TEST(ScreenLockSetting, RefusesAnythingButExactlyOneCase) {
  const char* bad[] = {R"({})",          R"({"off":{},"immediate":{}})", R"({"never":{}})",
                       R"({"off":null})", R"({"seconds":{}})",          R"({"seconds":{"_0":1.5}})",
                       R"([])"};
  for (const char* text : bad) {
    EXPECT_FALSE(ScreenLockSetting::fromJSON(json::parse(text)).has_value()) << text;
  }
  EXPECT_EQ(ScreenLockSetting::fromJSON(json::parse("{}")).error().reason,
            "Invalid number of keys found, expected one.");
}

TEST(UserChange, WrapsTheOriginalSetting) {
  const UserChange change{ScreenLockSetting::seconds(5)};
  const std::string text = R"({"screenLockOriginal":{"_0":{"seconds":{"_0":5}}}})";
  EXPECT_EQ(change.toJSON().dump(), text);
  EXPECT_EQ(UserChange::fromJSON(json::parse(text)), change);
  EXPECT_FALSE(UserChange::fromJSON(json::parse(R"({"screenLockOriginal":{}})")).has_value());
}

TEST(Backup, KeepsNullUpdatesThroughARoundTrip) {
  Backup backup(1700000000);
  backup.pmset = {{"womp", 0}, {"autorestart", 1}};
  backup.updates = {{"AutomaticDownload", std::nullopt}, {"CriticalUpdateInstall", true}};
  backup.screenLock = ScreenLockSetting::immediate();
  const json encoded = backup.toJSON();
  EXPECT_TRUE(encoded["updates"]["AutomaticDownload"].is_null());
  const auto decoded = Backup::fromJSON(json::parse(encoded.dump(2)));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, backup);
  EXPECT_TRUE(decoded->updates.contains("AutomaticDownload"));
}

TEST(Backup, EmptinessAndRequiredMembers) {
  EXPECT_TRUE(Backup(5).isEmpty());
  Backup withLock(5);
  withLock.screenLock = ScreenLockSetting::off();
  EXPECT_FALSE(withLock.isEmpty());
  EXPECT_EQ(Backup(5).toJSON().dump(), R"({"pmset":{},"takenAt":5,"updates":{}})");

  const char* bad[] = {R"({"pmset":{},"updates":{}})", R"({"takenAt":1,"updates":{}})",
                       R"({"takenAt":1,"pmset":{"womp":true},"updates":{}})",
                       R"({"takenAt":1,"pmset":{},"updates":{"a":1}})"};
  for (const char* text : bad) EXPECT_FALSE(Backup::fromJSON(json::parse(text)).has_value()) << text;
}

TEST(SetupRecords, RoundTripsAndOptionalMembers) {
  const SetupChoices choices{true, false, true};
  EXPECT_EQ(SetupChoices::fromJSON(choices.toJSON()), choices);
  EXPECT_FALSE(SetupChoices::fromJSON(json::parse(R"({"wakeForNetwork":true})")).has_value());

  const SetupStatus status{true, std::nullopt, false, true, {"pmset -c womp 0"}};
  EXPECT_FALSE(status.toJSON().contains("restartAfterPowerCut"));
  EXPECT_EQ(SetupStatus::fromJSON(status.toJSON()), status);

  const UndoResult undo{{"pmset -c womp 0"}, {"pmset -a autorestart 0"}, std::nullopt};
  EXPECT_FALSE(undo.toJSON().contains("screenLock"));
  EXPECT_EQ(UndoResult::fromJSON(undo.toJSON()), undo);
}

TEST(LoginItem, OptionalMembersLeftOutAndNullReadsAsAbsent) {
  EXPECT_EQ(LoginItem{"Dropbox"}.toJSON().dump(), R"({"name":"Dropbox"})");
  const LoginItem full{"Zoom", "/Applications/zoom.us.app", "us.zoom.xos", "us.zoom"};
  EXPECT_EQ(LoginItem::fromJSON(full.toJSON()), full);
  EXPECT_EQ(LoginItem::fromJSON(json::parse(R"({"name":"A","path":null})")), LoginItem{"A"});
  EXPECT_FALSE(LoginItem::fromJSON(json::parse(R"({"path":"/x"})")).has_value());
}

}  // namespace
}  // namespace torvo
