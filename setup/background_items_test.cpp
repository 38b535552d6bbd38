#include "setup/background_items.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace torvo {
namespace {

std::string fixture() {
  std::ifstream in(std::filesystem::path(TORVO_SOURCE_DIR) / "tests/fixtures/setup/dumpbtm.txt");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

LoginItem item(std::string name, std::optional<std::string> path,
               std::optional<std::string> bundleID = std::nullopt,
               std::optional<std::string> parentID = std::nullopt) {
  return {std::move(name), std::move(path), std::move(bundleID), std::move(parentID)};
}

TEST(BackgroundItemsTest, ParsesTheUsersEnabledAppsAndLoginItems) {
  const auto items = BackgroundItems::parse(fixture(), 501);
  ASSERT_TRUE(items);
  const std::vector<LoginItem> expected = {
      item("Foo", "/Applications/Foo.app", "com.example.foo"),
      item("Bar Baz", "/Applications/Bar Baz.app", std::nullopt, "com.example.parent"),
      item("?", std::nullopt),  // an empty name and no URL
      item("?", std::nullopt),  // from the second section of the same user
  };
  EXPECT_EQ(*items, expected);

  const auto root = BackgroundItems::parse(fixture(), 0);
  ASSERT_TRUE(root);
  EXPECT_EQ(*root, std::vector<LoginItem>{item("RootThing", "/Applications/RootThing.app")});
}

TEST(BackgroundItemsTest, NoSectionIsNoListAndAnEmptySectionIsAnEmptyList) {
  EXPECT_EQ(BackgroundItems::parse(fixture(), 502), std::nullopt);
  EXPECT_EQ(BackgroundItems::parse("", 501), std::nullopt);
  EXPECT_EQ(BackgroundItems::parse("Records for UID 0 : x\n#1:\nType: app\nDisposition: [enabled]\n", 501),
            std::nullopt);
  EXPECT_EQ(BackgroundItems::parse("Records for UID 501 : x\n", 501), std::vector<LoginItem>{});
  EXPECT_EQ(BackgroundItems::parse("Records for UID:\nRecords for UID abc: x\n", 0), std::nullopt);
}

TEST(BackgroundItemsTest, TypesAndDispositions) {
  struct Case {
    std::string type;
    std::string disposition;
    bool listed;
  };
  const Case cases[] = {
      {"app (0x2)", "[enabled, allowed, visible, notified] (0xb)", true},
      {"App(0x2)", "[Enabled]", true},
      {"app", "enabled", true},
      {"login item (0x4)", "[enabled]", true},
      {"application", "[enabled]", false},
      {"legacy app (0x1)", "[enabled]", false},
      {"agent (0x8)", "[enabled, allowed]", false},
      {"daemon (0x10)", "[enabled]", false},
      {"app (0x2)", "[disabled, allowed] (0x2)", false},
      {"app (0x2)", "[notenabled]", false},
      {"app (0x2)", "", false},
  };
  for (const auto& c : cases) {
    const auto text = "Records for UID 501: x\n#1:\nName: N\nType: " + c.type +
                      "\nDisposition: " + c.disposition + "\n";
    const auto items = BackgroundItems::parse(text, 501);
    ASSERT_TRUE(items);
    EXPECT_EQ(items->size(), c.listed ? 1u : 0u) << c.type << " / " << c.disposition;
  }
  EXPECT_EQ(BackgroundItems::parse("Records for UID 501: x\n#1:\nName: N\nDisposition: [enabled]\n", 501),
            std::vector<LoginItem>{})
      << "no Type";
}

TEST(BackgroundItemsTest, FieldsAreTrimmedAndTheFirstValueWins) {
  const std::string text =
      "  Records for UID 501 : x\r\n"
      "\t#7:\r\n"
      "   Name :  Mail Helper  \r\n"
      "Type: app\r\n"
      "Disposition: [enabled]\r\n"
      "Name: Other\r\n"
      "URL: file://localhost/Applications/Mail%20Helper.app//\r\n"
      "Bundle Identifier: (null)\r\n"
      "not a field\r\n"
      "#8:\r\n";
  EXPECT_EQ(BackgroundItems::parse(text, 501),
            std::vector<LoginItem>{item("Mail Helper", "/Applications/Mail Helper.app")});
}

TEST(BackgroundItemsTest, AtMostMaxItems) {
  std::string text = "Records for UID 501: x\n";
  for (int i = 0; i < 201; ++i) {
    text += "#" + std::to_string(i) + ":\nType: app\nDisposition: [enabled]\nName: N" +
            std::to_string(i) + "\n";
  }
  const auto items = BackgroundItems::parse(text, 501);
  ASSERT_TRUE(items);
  ASSERT_EQ(items->size(), BackgroundItems::maxItems);
  EXPECT_EQ(items->back().name, "N199");
}

TEST(BackgroundItemsTest, PathFromURL) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"file:///Applications/Foo.app/", "/Applications/Foo.app"},
      {"file:///Applications/Bar%20Baz.app", "/Applications/Bar Baz.app"},
      {"file:///", "/"},
      {"file://", std::nullopt},
      {"file:///a%zz", std::nullopt},
      {"file:///a%00b", std::nullopt},
      {"file:///with space", std::nullopt},
      {"http://example.com/x", std::nullopt},
      {"/Applications/Foo.app", std::nullopt},
      {"FILE:///x", std::nullopt},
  };
  for (const auto& [url, path] : cases) EXPECT_EQ(BackgroundItems::path(url), path) << url;
}

}  // namespace
}  // namespace torvo
