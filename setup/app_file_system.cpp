#include "setup/app_file_system.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

namespace torvo {
namespace {

// An Info.plist larger than this is not read.
constexpr std::uintmax_t maxInfoPlistBytes = 1024 * 1024;

std::string joined(const std::string& folder, const std::string& name) {
  return (std::filesystem::path(folder) / name).string();
}

}  // namespace

std::vector<AppBundle> DiskAppFileSystem::appBundles(const std::string& in) {
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator it(in, error), end; !error && it != end;
       it.increment(error)) {
    auto name = it->path().filename().string();
    if (name.ends_with(".app")) names.push_back(std::move(name));
  }
  if (error) return {};
  std::ranges::sort(names);
  std::vector<AppBundle> bundles;
  for (const auto& name : names) {
    const auto path = joined(in, name);
    bundles.emplace_back(path, bundleID(path));
  }
  return bundles;
}

bool DiskAppFileSystem::fileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

std::optional<std::string> DiskAppFileSystem::bundleID(const std::filesystem::path& bundle) {
  const auto file = bundle / "Contents" / "Info.plist";
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
  const auto size = std::filesystem::file_size(file, error);
  if (error || size > maxInfoPlistBytes) return std::nullopt;
  std::ifstream input(file, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
  if (!input && !input.eof()) return std::nullopt;

  if (bytes.empty()) return std::nullopt;

  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  const std::unique_ptr<void, void (*)(plist_t)> owner(root, plist_free);
  if (!root || plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
  const plist_t value = plist_dict_get_item(root, "CFBundleIdentifier");
  if (!value || plist_get_node_type(value) != PLIST_STRING) return std::nullopt;
  // Read in place with its length: libplist aborts the process when asked for a copy of a text
  // that holds a NUL byte. libplist 2.2 gives the text up to its first NUL; later versions give
  // it whole, and no bundle identifier holds a NUL.
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(value, &length);
  if (!text) return std::nullopt;
  std::string out(text, length);
  if (out.find('\0') != std::string::npos) return std::nullopt;
  return out;
}

}  // namespace torvo
