#include "setup/real_system_settings.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "tests/test_support.h"

namespace torvo {
namespace {

using test::RecordingLog;
using test::TempDir;

RealSystemSettings::Host host(uid_t effective, std::optional<uid_t> console, std::string tool,
                              int* consoleAsks = nullptr) {
  return {[effective] { return effective; },
          [console, consoleAsks] {
            if (consoleAsks) ++*consoleAsks;
            return console;
          },
          std::move(tool)};
}

// An executable script standing in for the background-items tool.
std::string script(const TempDir& dir, const std::string& body) {
  const auto path = dir / "sfltool";
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  ::chmod(path.c_str(), 0755);
  return path.string();
}

TEST(RealSystemSettingsTest, DryRunLogsAndChangesNothing) {
  RecordingLog log;
  TempDir dir;
  const auto marker = dir / "ran";
  RealSystemSettings settings(log, true, host(0, 501, script(dir, "touch " + marker.string())));
  EXPECT_TRUE(settings.run({"/bin/sh", {"-c", "touch " + marker.string()}}));
  EXPECT_EQ(settings.loginItems(), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(marker));
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_TRUE(log.has("info", "would run: sh -c touch " + marker.string()));
}

TEST(RealSystemSettingsTest, RunLogsTheStatus) {
  RecordingLog log;
  RealSystemSettings settings(log, false);
  EXPECT_TRUE(settings.run({"/bin/sh", {"-c", "exit 0"}}));
  EXPECT_FALSE(settings.run({"/bin/sh", {"-c", "exit 4"}}));
  EXPECT_FALSE(settings.run(SystemCommand::pmset(PmsetScope::charger, PmsetKey::womp, 1)));
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].message, "ran: sh -c exit 0 → 0");
  EXPECT_EQ(lines[1].message, "ran: sh -c exit 4 → 4");
  EXPECT_EQ(lines[2].message, "ran: pmset -c womp 1 → -1");
  for (const auto& line : lines) {
    EXPECT_EQ(line.level, "info");
    EXPECT_EQ(line.category, AgentLog::Category::agent);
  }
}

TEST(RealSystemSettingsTest, MissingReadingToolsGiveEmptyAnswers) {
  RecordingLog log;
  RealSystemSettings settings(log, true);
  EXPECT_EQ(settings.pmsetCustom(), "");
  EXPECT_EQ(settings.readUpdate(UpdateKey::AutomaticDownload), std::nullopt);
  EXPECT_TRUE(log.lines().empty());
}

TEST(RealSystemSettingsTest, LoginItemsOnlyAsRootWithAConsoleUser) {
  RecordingLog log;
  TempDir dir;
  const auto tool = script(dir, "[ \"$1\" = dumpbtm ] || exit 2\n"
                                "echo 'Records for UID 501: x'\n"
                                "printf '#1:\\nType: app\\nDisposition: [enabled]\\nName: Foo\\n'");
  int asks = 0;
  EXPECT_EQ(RealSystemSettings(log, false, host(1000, 501, tool, &asks)).loginItems(), std::nullopt);
  EXPECT_EQ(asks, 0) << "not root: the console user is not even asked";
  EXPECT_EQ(RealSystemSettings(log, false, host(0, std::nullopt, tool)).loginItems(), std::nullopt);
  EXPECT_EQ(RealSystemSettings(log, false, host(0, 502, tool)).loginItems(), std::nullopt)
      << "no section for the console user";
  EXPECT_EQ(RealSystemSettings(log, false, host(0, 501, tool)).loginItems(),
            std::vector<LoginItem>{LoginItem{"Foo"}});
  EXPECT_TRUE(log.lines().empty());
}

TEST(RealSystemSettingsTest, LoginItemsFailureIsLogged) {
  RecordingLog log;
  TempDir dir;
  EXPECT_EQ(RealSystemSettings(log, false, host(0, 501, script(dir, "echo 'Records for UID 501: x'; exit 1")))
                .loginItems(),
            std::nullopt);
  EXPECT_EQ(RealSystemSettings(log, false, host(0, 501, "/usr/bin/sfltool")).loginItems(),
            std::nullopt);
  EXPECT_TRUE(log.has("info", "sfltool dumpbtm → 1"));
  EXPECT_TRUE(log.has("info", "sfltool dumpbtm → -1"));
}

}  // namespace
}  // namespace torvo
