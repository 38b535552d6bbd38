#include "base/display_text.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "kit/unicode_text.h"

namespace torvo::DisplayText {
namespace {

// White space and line breaks as Foundation trims them: categories Zs, Zl, Zp and the
// line-break controls (which step 1 has already removed).
bool isTrimmed(UChar32 c) {
  const int8_t type = u_charType(c);
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR ||
         type == U_PARAGRAPH_SEPARATOR;
}

}  // namespace

std::string clean(std::string_view text, std::size_t max, std::string_view fallback) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());

  // Step 1: drop control and format scalars; remember the bounds of what is not trimmed.
  std::string kept;
  kept.reserve(text.size());
  std::size_t firstKept = std::string::npos;
  std::size_t endKept = 0;
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) c = 0xFFFD;
    const int8_t type = u_charType(c);
    if (type == U_CONTROL_CHAR || type == U_FORMAT_CHAR) continue;
    char buffer[4];
    int32_t n = 0;
    U8_APPEND_UNSAFE(buffer, n, c);
    if (!isTrimmed(c)) {
      if (firstKept == std::string::npos) firstKept = kept.size();
      endKept = kept.size() + static_cast<std::size_t>(n);
    }
    kept.append(buffer, static_cast<std::size_t>(n));
  }
  if (firstKept == std::string::npos) return std::string(fallback);

  // Step 2: trim; step 3: cut to `max` characters.
  std::string result = kept.substr(firstKept, endKept - firstKept);
  if (UnicodeText::graphemeCount(result) > max) result = UnicodeText::graphemePrefix(result, max);
  if (result.empty()) return std::string(fallback);
  return result;
}

}  // namespace torvo::DisplayText
