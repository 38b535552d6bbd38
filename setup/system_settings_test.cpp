#include "setup/system_settings.h"

#include <gtest/gtest.h>

#include "tests/fakes/fake_system_settings.h"

namespace torvo {
namespace {

TEST(SystemCommand, ConstructorsAndDescriptions) {
  struct Case {
    SystemCommand command;
    std::string description;
  };
  const Case cases[] = {
      {SystemCommand::pmset(PmsetScope::charger, PmsetKey::womp, 0), "pmset -c womp 0"},
      {SystemCommand::pmset(PmsetScope::all, PmsetKey::autorestart, 1), "pmset -a autorestart 1"},
      {SystemCommand::writeUpdate(UpdateKey::AutomaticDownload, false),
       "defaults write /Library/Preferences/com.apple.SoftwareUpdate AutomaticDownload -bool false"},
      {SystemCommand::deleteUpdate(UpdateKey::CriticalUpdateInstall),
       "defaults delete /Library/Preferences/com.apple.SoftwareUpdate CriticalUpdateInstall"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.command.description(), c.description);
  EXPECT_EQ(SystemCommand::pmset(PmsetScope::charger, PmsetKey::womp, 0).executable,
            "/usr/bin/pmset");
  EXPECT_EQ(SystemCommand::deleteUpdate(UpdateKey::AutomaticDownload).executable,
            "/usr/bin/defaults");
}

TEST(SystemSettings, LoginItemsDefaultToNone) {
  struct Minimal : SystemSettings {
    std::string pmsetCustom() override { return ""; }
    std::optional<std::string> readUpdate(UpdateKey) override { return std::nullopt; }
    bool run(const SystemCommand&) override { return true; }
  } settings;
  EXPECT_EQ(settings.loginItems(), std::nullopt);
}

TEST(FakeSystemSettings, RecordsCommandsAndFailsOnRequest) {
  test::FakeSystemSettings fake;
  fake.failing = {"pmset -a autorestart 1"};
  EXPECT_TRUE(fake.run(SystemCommand::pmset(PmsetScope::charger, PmsetKey::womp, 1)));
  EXPECT_FALSE(fake.run(SystemCommand::pmset(PmsetScope::all, PmsetKey::autorestart, 1)));
  EXPECT_EQ(fake.ran.size(), 2u);
}

}  // namespace
}  // namespace torvo
