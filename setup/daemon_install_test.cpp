#include "setup/daemon_install.h"

#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace torvo {
namespace {

const std::string app = "/Users/o'brien/Apps & Tools/Torvo.app";

TEST(DaemonInstall, PlistEscapesTheAppPathForXML) {
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n"
      "<dict>\n"
      "  <key>Label</key><string>com.quorvantelix.Torvo.agent</string>\n"
      "  <key>ProgramArguments</key>\n"
      "  <array>\n"
      "    <string>/Library/PrivilegedHelperTools/com.quorvantelix.Torvo.agent</string>\n"
      "    <string>--allowed-client</string>\n"
      "    <string>/Users/o'brien/Apps &amp; Tools/Torvo.app</string>\n"
      "  </array>\n"
      "  <key>RunAtLoad</key><true/>\n"
      "  <key>KeepAlive</key><true/>\n"
      "  <key>ProcessType</key><string>Interactive</string>\n"
      "  <key>StandardErrorPath</key><string>/Library/Logs/Torvo/agent.stderr.log</string>\n"
      "</dict>\n"
      "</plist>\n";
  EXPECT_EQ(DaemonInstall::plist(app), expected);
  EXPECT_NE(DaemonInstall::plist("a<b>\"c").find("a&lt;b&gt;&quot;c"), std::string::npos);
}

TEST(DaemonInstall, InstallScriptQuotesEveryPath) {
  const std::string agent = "'/Library/PrivilegedHelperTools/com.quorvantelix.Torvo.agent'";
  const std::string job = "'/Library/LaunchDaemons/com.quorvantelix.Torvo.agent.plist'";
  const std::string plistQuoted =
      "'" + DaemonInstall::plist(app).replace(DaemonInstall::plist(app).find("o'brien"), 7,
                                              "o'\\''brien") +
      "'";
  const std::string expected =
      "set -eu\n"
      "/bin/launchctl bootout system/com.quorvantelix.Torvo.agent 2>/dev/null || true\n"
      "/bin/mkdir -p /Library/PrivilegedHelperTools /Library/Logs/Torvo\n"
      "/bin/rm -f " + agent + "\n"
      "/bin/cp '/Users/o'\\''brien/Apps & Tools/Torvo.app/Contents/MacOS/torvo-agent' " + agent + "\n"
      "/usr/sbin/chown root:wheel " + agent + "\n"
      "/bin/chmod 755 " + agent + "\n"
      "/usr/bin/codesign --verify -R='identifier \"com.quorvantelix.Torvo.agent\"' " + agent + "\n"
      "/usr/bin/printf '%s' " + plistQuoted + " > " + job + "\n"
      "/usr/sbin/chown root:wheel " + job + "\n"
      "/bin/chmod 644 " + job + "\n"
      "/bin/launchctl bootstrap system " + job;
  EXPECT_EQ(DaemonInstall::installScript(app, app + "/Contents/MacOS/torvo-agent"), expected);
}

TEST(DaemonInstall, UninstallScriptRemovesEverything) {
  EXPECT_EQ(DaemonInstall::uninstallScript(),
            "set -u\n"
            "/bin/launchctl bootout system/com.quorvantelix.Torvo.agent 2>/dev/null || true\n"
            "/bin/rm -f '/Library/LaunchDaemons/com.quorvantelix.Torvo.agent.plist' "
            "'/Library/PrivilegedHelperTools/com.quorvantelix.Torvo.agent'\n"
            "/bin/rm -rf '/Library/Application Support/Torvo' '/Library/Logs/Torvo' "
            "'/var/run/Torvo'");
}

TEST(DaemonInstall, QuotingSurvivesTheShell) {
  const std::string tricky = "it's $HOME `id` \"x\" \\ &";
  const auto result = test::run({"/bin/sh", "-c", "printf '%s' " + DaemonInstall::q(tricky)});
  EXPECT_EQ(result.out, tricky);
}

TEST(DaemonInstall, AppleScriptEscapesBackslashesThenQuotes) {
  EXPECT_EQ(DaemonInstall::appleScript("echo \"a\\b\"", "Torvo wants \"admin\""),
            "do shell script \"echo \\\"a\\\\b\\\"\" with administrator privileges with prompt "
            "\"Torvo wants \\\"admin\\\"\"");
}

TEST(HelperFreshness, ComparesBytesAndAnswersNothingForUnreadableFiles) {
  test::TempDir dir;
  std::ofstream(dir / "a") << "agent v1";
  std::ofstream(dir / "b") << "agent v1";
  std::ofstream(dir / "c") << "agent v2";
  std::ofstream(dir / "empty");
  std::filesystem::create_directory(dir / "folder");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  struct Case {
    const char* bundled;
    const char* installed;
    std::optional<bool> expected;
  };
  // Only two readable regular files give an answer: a folder reads as nothing rather than
  // as empty bytes, and a FIFO is refused without waiting for a writer.
  const Case cases[] = {
      {"a", "b", false},
      {"a", "c", true},
      {"a", "empty", true},
      {"a", "missing", std::nullopt},
      {"missing", "a", std::nullopt},
      {"a", "folder", std::nullopt},
      {"folder", "a", std::nullopt},
      {"folder", "folder", std::nullopt},
      {"a", "fifo", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.bundled) + " " + c.installed);
    EXPECT_EQ(HelperFreshness::isOutdated(dir / c.bundled, dir / c.installed), c.expected);
  }
}

}  // namespace
}  // namespace torvo
