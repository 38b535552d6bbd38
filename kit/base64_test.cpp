#include "kit/base64.h"

#include <gtest/gtest.h>

namespace torvo {
namespace {

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST(Base64Test, RFC4648Vectors) {
  const struct {
    const char* plain;
    const char* standard;
    const char* url;
  } cases[] = {
      {"", "", ""},           {"f", "Zg==", "Zg"},         {"fo", "Zm8=", "Zm8"},
      {"foo", "Zm9v", "Zm9v"}, {"foob", "Zm9vYg==", "Zm9vYg"}, {"fooba", "Zm9vYmE=", "Zm9vYmE"},
      {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
      {"\xfb\xff\xbf", "+/+/", "-_-_"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Base64::encode(bytes(c.plain)), c.standard);
    EXPECT_EQ(Base64URL::encode(bytes(c.plain)), c.url);
    EXPECT_EQ(Base64::decode(c.standard), bytes(c.plain)) << c.standard;
    EXPECT_EQ(Base64URL::decode(c.url), bytes(c.plain)) << c.url;
  }
}

TEST(Base64Test, URLDecodingRefusesEverythingOutsideItsAlphabet) {
  const std::string cases[] = {
      "Zg==", "Zm8=", "+/+/", "Zm9v Yg", "Zm9v\nYg", "Zm9vY", "Z", "Zm9\xc3\xa9", "Zm9v.Yg",
  };
  for (const auto& text : cases) EXPECT_EQ(Base64URL::decode(text), std::nullopt) << text;
}

TEST(Base64Test, StandardDecodingNeedsPaddingInPlace) {
  const std::string cases[] = {"Zg", "Zm8", "Z===", "Zg=A", "-_-_", "Zm9v\n", "====", "Zg==Zg=="};
  for (const auto& text : cases) EXPECT_EQ(Base64::decode(text), std::nullopt) << text;
}

}  // namespace
}  // namespace torvo
