#include "tests/fakes/fake_app_file_system.h"

#include <gtest/gtest.h>

namespace torvo {
namespace {

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
