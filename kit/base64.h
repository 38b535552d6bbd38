// Base64 codecs: standard Base64 with padding (key bytes inside JSON files) and Base64URL
// without padding (sealed data in envelopes, the key in pairing links). Decoders are strict
// and report invalid input as an absent result. Pure functions, safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kit/bytes.h"

namespace torvo::Base64 {

// RFC 4648 section 4 with "=" padding and no line breaks.
std::string encode(ByteView bytes);

// RFC 4648 section 4: length a multiple of 4, at most two "=" and only at the end, no white
// space or other characters. Absent for anything else. Unused low bits of the last character
// are ignored, as common decoders do.
std::optional<Bytes> decode(std::string_view text);

}  // namespace torvo::Base64

namespace torvo::Base64URL {

// RFC 4648 section 5 without padding: "-" and "_" in place of "+" and "/", no "=".
std::string encode(ByteView bytes);

// Only letters, digits, "-" and "_" are allowed (no "=", "+", "/", white space or non-ASCII);
// a length of 1 modulo 4 is invalid. Absent for invalid text.
std::optional<Bytes> decode(std::string_view text);

// As `decode`, appending to `out` (cleared first); false for invalid text. Lets a hot path
// reuse one buffer.
bool decodeInto(std::string_view text, Bytes& out);

}  // namespace torvo::Base64URL
