#include "base/display_text.h"

#include <gtest/gtest.h>

namespace torvo {
namespace {

TEST(DisplayTextClean, RemovesControlAndFormatCharactersTrimsAndCuts) {
  struct Case {
    const char* what;
    std::string text;
    std::size_t max;
    std::string expected;
  };
  const std::string flag = "\U0001F1E9\U0001F1EA";  // two scalars, one character
  const Case cases[] = {
      {"blanks, tabs and zero-width only", " \t\u200B\u2060 \u00A0\u3000", 64, "Phone"},
      {"zero-width inside, blanks around", "  Ann\u200Ba  ", 64, "Anna"},
      {"direction override removed", "\u202Eevil\u202C", 64, "evil"},
      {"controls and line breaks", "\nline\r\x1b[31m\x7f", 64, "line[31m"},
      {"inner blanks kept", "my  phone", 64, "my  phone"},
      {"line separator trimmed", "\u2028name\u2029", 64, "name"},
      {"long name cut to max", std::string(70, 'n'), 64, std::string(64, 'n')},
      {"cut is not trimmed again", "abc def", 4, "abc "},
      {"a flag counts once", flag + flag + "x", 2, flag + flag},
      {"zero-width joiners are format characters", "a\u200Db", 64, "ab"},
      {"combining marks stay with their letter", "e\u0301e\u0301e\u0301", 2, "e\u0301e\u0301"},
      {"exactly max is kept", std::string(64, 'z'), 64, std::string(64, 'z')},
      {"invalid UTF-8 shown as replacement", "a\xff", 64, "a\uFFFD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DisplayText::clean(c.text, c.max, "Phone"), c.expected) << c.what;
  }
}

TEST(DisplayTextClean, EmptyResultGivesTheFallback) {
  EXPECT_EQ(DisplayText::clean("", 64, "Mac"), "Mac");
  EXPECT_EQ(DisplayText::clean("\u200E", 40, ""), "");
}

}  // namespace
}  // namespace torvo
