#include "setup/app_file_system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/test_support.h"

namespace torvo {
namespace {

const std::string apps = std::string(TORVO_SOURCE_DIR) + "/tests/fixtures/setup/home/Applications";

TEST(DiskAppFileSystemTest, ListsAppBundlesWithIdentifiersFromXMLAndBinaryPlists) {
  DiskAppFileSystem fs;
  const std::vector<AppBundle> expected = {
      {apps + "/Binary.app", "com.openai.chat"},
      {apps + "/Broken.app", std::nullopt},
      {apps + "/NoPlist.app", std::nullopt},
      {apps + "/NotString.app", std::nullopt},
      {apps + "/Xml.app", "dev.zed.Zed"},
  };
  EXPECT_EQ(fs.appBundles(apps), expected);
  EXPECT_TRUE(fs.appBundles(apps + "/missing").empty());
  EXPECT_TRUE(fs.fileExists(apps + "/Xml.app/Contents/Info.plist"));
  EXPECT_FALSE(fs.fileExists(apps + "/missing"));
}

// A binary Info.plist whose CFBundleIdentifier holds a NUL byte ("com.example\0evil"): an
// app anyone could install. Reading it must not end the agent, and never yields the NUL.
TEST(DiskAppFileSystemTest, IdentifierWithANulByteIsNoIdentifier) {
  static constexpr char plist[] =
      "bplist00\xd1\x01\x02_\x10\x12" "CFBundleIdentifier_\x10\x10" "com.example\0evil\x08\x0b "
      "\0\0\0\0\0\0\x01\x01\0\0\0\0\0\0\0\x03\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x33";
  test::TempDir dir;
  std::filesystem::create_directories(dir / "Evil.app/Contents");
  std::ofstream(dir / "Evil.app/Contents/Info.plist", std::ios::binary)
      .write(plist, sizeof plist - 1);
  const auto identifier = DiskAppFileSystem::bundleID(dir / "Evil.app");
  EXPECT_TRUE(!identifier || *identifier == "com.example") << *identifier;
}

}  // namespace
}  // namespace torvo
