#include "setup/report_text.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace torvo::ReportText {
namespace {

// The code point that starts at `offset` and the offset after it.
UChar32 next(std::string_view text, std::size_t& offset) {
  UChar32 c = 0;
  const auto length = static_cast<int32_t>(text.size());
  auto i = static_cast<int32_t>(offset);
  U8_NEXT(reinterpret_cast<const uint8_t*>(text.data()), i, length, c);
  offset = static_cast<std::size_t>(i);
  return c;
}

bool isLineBreak(UChar32 c) {
  return c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x85 || c == 0x2028 ||
         c == 0x2029;
}

bool isBlank(UChar32 c) { return c == '\t' || (c >= 0 && u_charType(c) == U_SPACE_SEPARATOR); }

bool isWordCharacter(UChar32 c, bool digits) {
  if (c < 0) return false;
  if (u_isalpha(c)) return true;
  if (!digits) return false;
  const auto type = u_charType(c);
  return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

}  // namespace

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  std::size_t offset = 0;
  while (offset < text.size()) {
    const std::size_t here = offset;
    if (isLineBreak(next(text, offset))) {
      if (here > start) out.push_back(text.substr(start, here - start));
      start = offset;
    }
  }
  if (text.size() > start) out.push_back(text.substr(start));
  return out;
}

std::string_view trimmed(std::string_view text, bool lineBreaks) {
  const auto isSpace = [lineBreaks](UChar32 c) {
    return isBlank(c) || (lineBreaks && isLineBreak(c));
  };
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t after = begin;
    if (!isSpace(next(text, after))) break;
    begin = after;
  }
  // Walk forward once more to find where the trailing run of spaces starts.
  std::size_t end = begin;
  std::size_t offset = begin;
  while (offset < text.size()) {
    if (!isSpace(next(text, offset))) end = offset;
  }
  return text.substr(begin, end - begin);
}

std::string lowered(std::string_view text) {
  std::string out;
  icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())))
      .toLower(icu::Locale::getRoot())
      .toUTF8String(out);
  return out;
}

std::vector<std::string> words(std::string_view text, bool digits) {
  std::vector<std::string> out;
  std::size_t start = 0;
  std::size_t offset = 0;
  bool inWord = false;
  while (offset < text.size()) {
    const std::size_t here = offset;
    const bool wordCharacter = isWordCharacter(next(text, offset), digits);
    if (wordCharacter && !inWord) start = here;
    if (!wordCharacter && inWord) out.emplace_back(text.substr(start, here - start));
    inWord = wordCharacter;
  }
  if (inWord) out.emplace_back(text.substr(start));
  return out;
}

std::string decodeUTF8(std::string_view bytes) {
  std::string out;
  icu::UnicodeString::fromUTF8(
      icu::StringPiece(bytes.data(), static_cast<int32_t>(bytes.size())))
      .toUTF8String(out);
  return out;
}

}  // namespace torvo::ReportText
