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
// of 1 modulo 4.
bool decodeUnpadded(std::string_view text, const std::array<std::uint8_t, 256>& table, Bytes& out) {
  out.clear();
  if (text.size() % 4 == 1) return false;
  out.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t acc = 0;
  int bits = 0;
  for (const char c : text) {
    const std::uint8_t v = table[static_cast<unsigned char>(c)];
    if (v == invalid) return false;
    acc = (acc << 6) | v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>(acc >> bits));
      acc &= (1u << bits) - 1;
    }
  }
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
