// WiredInterfaces: the names of this machine's wired Ethernet interfaces, read from a
// sysfs-like folder (/sys/class/net) that tests can replace. The Doctor reports their
// Wake-on-LAN setting and the system setup changes it. Stateless; safe from any thread.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace torvo::WiredInterfaces {

// The interfaces under `net` that sit on a device (not virtual), are Ethernet and are not
// wireless (no "wireless" folder, no "phy80211" link), sorted by name. A missing folder has
// none.
std::vector<std::string> names(const std::filesystem::path& net = "/sys/class/net");

}  // namespace torvo::WiredInterfaces
