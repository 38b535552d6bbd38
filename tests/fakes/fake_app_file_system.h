// FakeAppFileSystem: an AppFileSystem for tests that answers from a fixed picture of folders
// and files set by the test. No mutable state once set up; any thread may call it.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "setup/app_file_system.h"

namespace torvo {

class FakeAppFileSystem : public AppFileSystem {
 public:
  // The entries of exactly that folder, in stored order and unfiltered.
  std::vector<AppBundle> appBundles(const std::string& in) override;
  bool fileExists(const std::string& path) override { return files.contains(path); }

  // Folder path to (bundle name, bundle identifier) entries.
  std::map<std::string, std::vector<std::pair<std::string, std::optional<std::string>>>> folders;
  std::set<std::string> files;
};

}  // namespace torvo
