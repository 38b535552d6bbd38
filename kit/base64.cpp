#include "kit/base64.h"

#include <array>

namespace torvo {
namespace {

constexpr std::string_view standardAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view urlAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::uint8_t invalid = 0xFF;

// Six-bit value of each character of one alphabet; `invalid` for everything else.
constexpr std::array<std::uint8_t, 256> decodingTable(std::string_view alphabet) {
  std::array<std::uint8_t, 256> table{};
  table.fill(invalid);
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return table;
}

constexpr auto standardTable = decodingTable(standardAlphabet);
constexpr auto urlTable = decodingTable(urlAlphabet);

std::string encodeWith(ByteView bytes, std::string_view alphabet, bool pad) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out.push_back(alphabet[(n >> 18) & 63]);
    out.push_back(alphabet[(n >> 12) & 63]);
    out.push_back(alphabet[(n >> 6) & 63]);
    out.push_back(alphabet[n & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    const std::uint32_t n = std::uint32_t{bytes[i]} << 16;
    out.push_back(alphabet[(n >> 18) & 63]);
    out.push_back(alphabet[(n >> 12) & 63]);
    if (pad) out.append("==");
  } else if (rest == 2) {
    const std::uint32_t n = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
    out.push_back(alphabet[(n >> 18) & 63]);
    out.push_back(alphabet[(n >> 12) & 63]);
    out.push_back(alphabet[(n >> 6) & 63]);
    if (pad) out.push_back('=');
  }
  return out;
}

// Decodes unpadded characters of one alphabet; false on a character outside it or a length
// of 1 modulo 4. Whole groups of four characters are decoded at once (the inbound hot path).
bool decodeUnpadded(std::string_view text, const std::array<std::uint8_t, 256>& table, Bytes& out) {
  out.clear();
  if (text.size() % 4 == 1) return false;
  out.resize(text.size() / 4 * 3 + (text.size() % 4 == 0 ? 0 : text.size() % 4 - 1));
  const auto value = [&](std::size_t i) { return table[static_cast<unsigned char>(text[i])]; };
  std::size_t in = 0;
  std::size_t at = 0;
  for (; in + 4 <= text.size(); in += 4) {
    const std::uint8_t a = value(in), b = value(in + 1), c = value(in + 2), d = value(in + 3);
    if ((a | b | c | d) & 0x80) return false;
    const std::uint32_t n = (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | d;
    out[at++] = static_cast<std::uint8_t>(n >> 16);
    out[at++] = static_cast<std::uint8_t>(n >> 8);
    out[at++] = static_cast<std::uint8_t>(n);
  }
  const std::size_t rest = text.size() - in;
  if (rest == 0) return true;
  std::uint32_t n = 0;
  for (std::size_t i = 0; i < rest; ++i) {
    const std::uint8_t v = value(in + i);
    if (v & 0x80) return false;
    n |= std::uint32_t{v} << (18 - 6 * i);
  }
  out[at++] = static_cast<std::uint8_t>(n >> 16);
  if (rest == 3) out[at] = static_cast<std::uint8_t>(n >> 8);
  return true;
}

}  // namespace

std::string Base64::encode(ByteView bytes) { return encodeWith(bytes, standardAlphabet, true); }

std::optional<Bytes> Base64::decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  Bytes out;
  if (!decodeUnpadded(text.substr(0, text.size() - padding), standardTable, out)) return std::nullopt;
  return out;
}

std::string Base64URL::encode(ByteView bytes) { return encodeWith(bytes, urlAlphabet, false); }

bool Base64URL::decodeInto(std::string_view text, Bytes& out) {
  return decodeUnpadded(text, urlTable, out);
}

std::optional<Bytes> Base64URL::decode(std::string_view text) {
  Bytes out;
  if (!decodeInto(text, out)) return std::nullopt;
  return out;
}

}  // namespace torvo
