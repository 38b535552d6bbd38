#include "platform/linux/wired_interfaces.h"

#include <algorithm>
#include <fstream>
#include <system_error>

namespace torvo::WiredInterfaces {
namespace {

namespace fs = std::filesystem;

// Whether anything, even a dangling symbolic link, is at `path`.
bool present(const fs::path& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

}  // namespace

std::vector<std::string> names(const fs::path& net) {
  std::vector<std::string> found;
  std::error_code error;
  for (fs::directory_iterator it(net, error), end; !error && it != end; it.increment(error)) {
    const fs::path folder = it->path();
    if (!present(folder / "device")) continue;
    if (present(folder / "wireless") || present(folder / "phy80211")) continue;
    // Magic packets are Ethernet frames: only interfaces of hardware type 1 (ARPHRD_ETHER).
    std::ifstream typeFile(folder / "type");
    std::string type;
    if (!(typeFile >> type) || type != "1") continue;
    found.push_back(folder.filename().string());
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace torvo::WiredInterfaces
