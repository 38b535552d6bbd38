#include "tests/fakes/fake_app_file_system.h"

#include <filesystem>

namespace torvo {

std::vector<AppBundle> FakeAppFileSystem::appBundles(const std::string& in) {
  std::vector<AppBundle> bundles;
  const auto it = folders.find(in);
  if (it == folders.end()) return bundles;
  for (const auto& [name, id] : it->second) {
    bundles.emplace_back((std::filesystem::path(in) / name).string(), id);
  }
  return bundles;
}

}  // namespace torvo
