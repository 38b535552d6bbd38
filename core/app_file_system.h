// AppFileSystem: what the login-app scan needs to know about the disk, the application bundles
// in a folder with their bundle identifiers and whether a path exists. Abstract so it can be
// faked: DiskAppFileSystem reads the real disk (Info.plist in XML or binary form through
// libplist), FakeAppFileSystem answers from a fixed picture. Both hold no mutable state once
// built; any thread may call them.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace torvo {

// The path of an application bundle and its bundle identifier, if it has one.
using AppBundle = std::pair<std::string, std::optional<std::string>>;

class AppFileSystem {
 public:
  virtual ~AppFileSystem() = default;
  virtual std::vector<AppBundle> appBundles(const std::string& in) = 0;
  virtual bool fileExists(const std::string& path) = 0;
};

class DiskAppFileSystem : public AppFileSystem {
 public:
  // The bundles directly inside the folder (names ending in ".app"), sorted by name; empty
  // when the folder cannot be listed.
  std::vector<AppBundle> appBundles(const std::string& in) override;
  bool fileExists(const std::string& path) override;

  // "CFBundleIdentifier" of the bundle's "Contents/Info.plist", when that file is a property
  // list with a dictionary at the top and the value is a text.
  static std::optional<std::string> bundleID(const std::filesystem::path& bundle);
};

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
