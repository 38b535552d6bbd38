#include "platform/linux/power_machine_name.h"

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
}

}  // namespace
}  // namespace torvo
