// Helpers for reading the text reports of platform tools: splitting into lines at every
// Unicode line break, trimming white space, lowering letters and telling letters and digits
// apart. Invalid UTF-8 is read with each bad sequence as U+FFFD. Pure functions, safe from any
// thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace torvo::ReportText {

// The non-empty lines of `text`, split at line feed, vertical tab, form feed, carriage return,
// U+0085, U+2028 and U+2029. The lines are views into `text`.
std::vector<std::string_view> lines(std::string_view text);

// `text` without tabs and space separators (general category Zs) at either end; with
// `lineBreaks`, also without the line breaks that `lines` splits at.
std::string_view trimmed(std::string_view text, bool lineBreaks = false);

// `text` with every letter in its small form.
std::string lowered(std::string_view text);

// The maximal runs of letters (and, with `digits`, also numbers) of `text`; everything else
// separates words.
std::vector<std::string> words(std::string_view text, bool digits);

// `text` read as UTF-8, with every invalid sequence replaced by U+FFFD.
std::string decodeUTF8(std::string_view bytes);

}  // namespace torvo::ReportText
