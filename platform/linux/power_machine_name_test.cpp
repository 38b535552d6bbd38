#include "platform/linux/power_machine_name.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/linux/power_linux_platform.h"
#include "power/power_mac_info.h"
#include "tests/test_support.h"

namespace torvo {
namespace {

TEST(MachineName, ReadsPrettyHostnameAsTheShellWould) {
  struct Case {
    const char* content;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"PRETTY_HOSTNAME=Studio\n", "Studio"},
      {"CHASSIS=laptop\nPRETTY_HOSTNAME=\"Anna's Laptop\"\nDEPLOYMENT=home\n", "Anna's Laptop"},
      {"PRETTY_HOSTNAME='Büro \"Mitte\"'", "Büro \"Mitte\""},
      {"PRETTY_HOSTNAME=\"a \\\"quoted\\\" \\\\ name\"\n", "a \"quoted\" \\ name"},
      {"  PRETTY_HOSTNAME = \"Spaced\"  \r\n", "Spaced"},
      {"# PRETTY_HOSTNAME=Commented\nICON_NAME=computer\n", std::nullopt},
      {"PRETTY_HOSTNAME=\"\"\n", std::nullopt},
      {"PRETTY_HOSTNAME=First\nPRETTY_HOSTNAME=Second\n", "Second"},
      {"PRETTY_HOSTNAMES=Other\n", std::nullopt},
      {"", std::nullopt},
      // Cleaned as read: bytes that are not UTF-8 (a Latin-1 file) become U+FFFD, controls
      // go, and a name of white space alone is no name.
      {"PRETTY_HOSTNAME=Caf\xE9\n", "Caf\uFFFD"},
      {"PRETTY_HOSTNAME=\"\xFF\xFE\"\n", "\uFFFD\uFFFD"},
      {"PRETTY_HOSTNAME=\"Lab\x07 Mac\x1B\"\n", "Lab Mac"},
      {"PRETTY_HOSTNAME=\" \u3000 \"\n", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    EXPECT_EQ(MachineName::prettyHostname(c.content), c.expected);
  }
}

TEST(MachineName, TheComputerNameFallsBackToTheHostName) {
  test::TempDir dir;
  const auto machineInfo = dir / "machine-info";
  LinuxPowerPlatform platform(LinuxPowerPaths{dir / "power_supply", machineInfo});
  const auto host = MachineName::hostName();
  ASSERT_TRUE(host) << "this machine has a host name";
  EXPECT_EQ(MacInfo::computerName(platform), *host) << "no machine-info file";

  std::ofstream(machineInfo) << "PRETTY_HOSTNAME=\"Anna's Laptop\"\n";
  EXPECT_EQ(MacInfo::computerName(platform), "Anna's Laptop");

  // Neither a FIFO (which would block the read) nor a folder is a machine-info file.
  std::filesystem::remove(machineInfo);
  ASSERT_EQ(::mkfifo(machineInfo.c_str(), 0600), 0);
  EXPECT_EQ(MacInfo::computerName(platform), *host) << "a FIFO";
  std::filesystem::remove(machineInfo);
  std::filesystem::create_directory(machineInfo);
  EXPECT_EQ(MacInfo::computerName(platform), *host) << "a folder";
}

}  // namespace
}  // namespace torvo
