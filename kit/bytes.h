// Byte buffers and read-only byte views shared by the kit's cipher, Base64 and envelope code.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace torvo {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// The bytes of a text, without copying.
inline ByteView bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A text view of bytes, without copying.
inline std::string_view textOf(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace torvo
