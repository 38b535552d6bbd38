#include "kit/json_record.h"

#include <gtest/gtest.h>

namespace torvo {
namespace {

std::optional<JSONRecord> read(std::string_view text) { return JSONRecord::parse(bytesOf(text)); }

TEST(JSONRecordTest, RefusesWhatIsNotOneObject) {
  for (const char* text : {"", "[]", "3", "\"x\"", "null", "{", "{} {}", "{}x", "{\"a\":}", "{\"a\":1,}", "\xef\xbb"}) {
    EXPECT_FALSE(read(text).has_value()) << text;
  }
  EXPECT_TRUE(read(" {} ").has_value());
}

TEST(JSONRecordTest, ScopesKeepNestedMembersApart) {
  const auto r = read(R"({"a":1,"config":{"a":2,"deep":{"a":3},"list":[{"a":4}]},"b":[{"a":5}],"c":{"d":{"a":6}}})");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->integer("a"), 1);
  const auto config = r->object("config");
  ASSERT_TRUE(config.has_value());
  EXPECT_EQ(r->integer("a", *config), 2);
  EXPECT_EQ(r->optionalInteger("b", *config).value(), std::nullopt);
  EXPECT_FALSE(r->integer("deep", *config).has_value());
  EXPECT_FALSE(r->object("deep", *config).has_value());
  EXPECT_FALSE(r->object("b").has_value());
  EXPECT_FALSE(r->object("a").has_value());
  EXPECT_FALSE(r->object("missing").has_value());
}

TEST(JSONRecordTest, ValuesFollowTheFieldRules) {
  const auto r = read(R"({"i":-4,"u":18446744073709551615,"f":2.0,"g":2.5,"e":1e3,"s":"x\/y\u00e9","t":true,"n":null,"k":"a","k":"b"})");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->integer("i"), -4);
  EXPECT_EQ(r->integer("u").error(), JSONDecodingError{"u"});
  EXPECT_EQ(r->integer("f"), 2);
  EXPECT_EQ(r->integer("g").error(), JSONDecodingError{"g"});
  EXPECT_EQ(r->integer("e"), 1000);
  EXPECT_EQ(r->text("s"), "x/y\xc3\xa9");
  EXPECT_EQ(r->boolean("t"), true);
  EXPECT_EQ(r->optionalBoolean("n").value(), std::nullopt);
  EXPECT_EQ(r->text("n").error(), JSONDecodingError{"n"});
  EXPECT_EQ(r->boolean("i").error(), JSONDecodingError{"i"});
  EXPECT_EQ(r->text("k"), "b");  // a repeated key counts by its last occurrence
}

}  // namespace
}  // namespace torvo
