#include "platform/linux/wired_interfaces.h"

#include <fstream>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace torvo {
namespace {

namespace fs = std::filesystem;

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

TEST(WiredInterfacesTest, EthernetOnADeviceAndNotWireless) {
  const test::TempDir net;
  // name, has a device, type, extra entry that marks it wireless
  struct Interface {
    std::string name;
    bool device;
    std::string type;
    std::string wirelessMark;
  };
  const Interface interfaces[] = {
      {"eth0", true, "1\n", ""},
      {"enp3s0", true, "1\n", ""},
      {"wlan0", true, "1\n", "wireless"},
      {"wlp2s0", true, "1\n", "phy80211"},
      {"lo", false, "772\n", ""},
      {"br0", false, "1\n", ""},
      {"docker0", false, "1\n", ""},
      {"can0", true, "280\n", ""},
      {"usb0", true, "", ""},
  };
  for (const auto& interface : interfaces) {
    const fs::path folder = net / interface.name;
    fs::create_directories(folder);
    if (interface.device) fs::create_directories(folder / "device");
    if (!interface.type.empty()) write(folder / "type", interface.type);
    if (interface.wirelessMark == "wireless") fs::create_directories(folder / "wireless");
    // The kernel's phy80211 entry is a link to the radio; a dangling one still counts.
    if (interface.wirelessMark == "phy80211") {
      fs::create_directory_symlink("../../ieee80211/phy0", folder / "phy80211");
    }
  }
  EXPECT_EQ(WiredInterfaces::names(net.path()),
            (std::vector<std::string>{"enp3s0", "eth0"}));
  EXPECT_TRUE(WiredInterfaces::names(net / "missing").empty());
}

}  // namespace
}  // namespace torvo
