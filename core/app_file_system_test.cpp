#include "core/app_file_system.h"

#include <gtest/gtest.h>

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

TEST(FakeAppFileSystemTest, AnswersFromItsPicture) {
  FakeAppFileSystem fs;
  fs.folders["/Applications"] = {{"B.app", "b"}, {"not-an-app", std::nullopt}};
  fs.files = {"/marker"};
  EXPECT_EQ(fs.appBundles("/Applications"),
            (std::vector<AppBundle>{{"/Applications/B.app", "b"},
                                    {"/Applications/not-an-app", std::nullopt}}));
  EXPECT_TRUE(fs.appBundles("/Applications/").empty());
  EXPECT_TRUE(fs.fileExists("/marker"));
  EXPECT_FALSE(fs.fileExists("/other"));
}

}  // namespace
}  // namespace torvo
