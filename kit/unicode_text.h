// Unicode helpers for texts that come from outside: lengths and prefixes counted in
// user-perceived characters (extended grapheme clusters) and scalar-level filtering.
// Invalid UTF-8 is read with each bad sequence as U+FFFD. Safe from any thread: each thread
// keeps its own break iterator.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace torvo::UnicodeText {

// Number of extended grapheme clusters in `text`.
std::size_t graphemeCount(std::string_view text);

// The first `count` grapheme clusters of `text` (all of it when it has fewer).
std::string graphemePrefix(std::string_view text, std::size_t count);

// True when `text` is well-formed UTF-8.
bool isValidUTF8(std::string_view text);

}  // namespace torvo::UnicodeText
