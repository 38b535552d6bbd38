// AppFileSystem: what the login-app scan needs to know about the disk, the application bundles
// in a folder with their bundle identifiers and whether a path exists. Abstract so it can be
// faked: DiskAppFileSystem reads the real disk (Info.plist in XML or binary form through
// libplist); tests/fakes/fake_app_file_system.h answers from a fixed picture. It holds no
// mutable state; any thread may call it.
#pragma once

#include <filesystem>
#include <optional>
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

}  // namespace torvo
