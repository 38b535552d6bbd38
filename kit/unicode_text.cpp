#include "kit/unicode_text.h"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <memory>
#include <stdexcept>

namespace torvo::UnicodeText {
namespace {

icu::BreakIterator& characterIterator() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !it) throw std::runtime_error("ICU character iterator unavailable");
    return it;
  }();
  return *iterator;
}

}  // namespace

std::size_t graphemeCount(std::string_view text) {
  if (text.empty()) return 0;
  const icu::UnicodeString u =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  icu::BreakIterator& it = characterIterator();
  it.setText(u);
  std::size_t count = 0;
  it.first();
  while (it.next() != icu::BreakIterator::DONE) ++count;
  return count;
}

std::string graphemePrefix(std::string_view text, std::size_t count) {
  const icu::UnicodeString u =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  icu::BreakIterator& it = characterIterator();
  it.setText(u);
  int32_t end = it.first();
  for (std::size_t i = 0; i < count; ++i) {
    const int32_t next = it.next();
    if (next == icu::BreakIterator::DONE) break;
    end = next;
  }
  std::string out;
  u.tempSubString(0, end).toUTF8String(out);
  return out;
}

bool isValidUTF8(std::string_view text) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

}  // namespace torvo::UnicodeText
