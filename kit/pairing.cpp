#include "kit/pairing.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <map>

#include "kit/base64.h"
#include "kit/crypto.h"
#include "kit/envelope.h"
#include "kit/unicode_text.h"

namespace torvo {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

// White space and line breaks: tab to carriage return, NEL and the separator categories.
bool isWhiteSpaceOrNewline(UChar32 c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
  const auto type = u_charType(c);
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

std::string_view trimmed(std::string_view text) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  auto length = static_cast<int32_t>(text.size());
  int32_t start = 0;
  while (start < length) {
    int32_t next = start;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (c < 0 || !isWhiteSpaceOrNewline(c)) break;
    start = next;
  }
  while (length > start) {
    int32_t previous = length;
    UChar32 c;
    U8_PREV(s, start, previous, c);
    if (c < 0 || !isWhiteSpaceOrNewline(c)) break;
    length = previous;
  }
  return text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(length - start));
}

// An http or https URL with a host.
bool isRelayURL(std::string_view text) {
  const auto url = Url::parse(text);
  return url && url->isWeb();
}

std::string_view withoutTrailingSlashes(std::string_view text) {
  while (text.ends_with('/')) text.remove_suffix(1);
  return text;
}

// Query items by name, first occurrence winning; values percent-decoded (empty when that
// fails), names as written.
std::map<std::string, std::string, std::less<>> queryItems(std::string_view query) {
  std::map<std::string, std::string, std::less<>> items;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view piece = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (piece.empty()) continue;
    const std::size_t eq = piece.find('=');
    const std::string_view name = piece.substr(0, eq);
    const std::string_view raw = eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1);
    items.emplace(std::string(name), PercentEncoding::decode(raw).value_or(std::string()));
  }
  return items;
}

}  // namespace

std::string Pairing::randomString(std::size_t n) {
  // 252 is the largest multiple of 36 that fits a byte: bytes from 252 up are drawn again, so
  // every character is equally likely.
  constexpr std::uint8_t limit = 252;
  static_assert(randomAlphabet.size() == 36 && limit % 36 == 0);
  std::string out;
  out.reserve(n);
  std::array<std::uint8_t, 64> pool;
  while (out.size() < n) {
    Crypto::randomBytes(pool);
    for (const std::uint8_t b : pool) {
      if (out.size() == n) break;
      if (b < limit) out.push_back(randomAlphabet[b % 36]);
    }
  }
  return out;
}

std::string Pairing::randomTopic() { return std::string(topicPrefix) + randomString(topicLength - topicPrefix.size()); }

bool Pairing::isValidTopic(std::string_view topic) {
  if (topic.size() != topicLength || !topic.starts_with(topicPrefix)) return false;
  const std::string_view rest = topic.substr(topicPrefix.size());
  return std::all_of(rest.begin(), rest.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); });
}

Pairing Pairing::generate(std::string relay, std::string topic, std::string macName) {
  return Pairing{std::move(relay), std::move(topic), randomString(Envelope::keyIDLength),
                 Crypto::randomBytes(Crypto::keyBytes), std::move(macName)};
}

std::expected<std::string, PairingError> Pairing::url() const {
  const std::string_view relayText = withoutTrailingSlashes(relay);
  if (!isRelayURL(relayText)) return std::unexpected(PairingError::invalid("r"));
  if (!isValidTopic(topic)) return std::unexpected(PairingError::invalid("t"));
  if (!Envelope::isValidKeyID(keyID)) return std::unexpected(PairingError::invalid("i"));
  if (keyData.size() != Crypto::keyBytes) return std::unexpected(PairingError::invalid("k"));
  if (UnicodeText::graphemeCount(macName) > maxNameLength) return std::unexpected(PairingError::invalid("n"));
  std::string link = "torvo://pair?v=1&r=";
  link += PercentEncoding::encode(relayText);
  link += "&t=" + topic;
  link += "&i=" + keyID;
  link += "&k=" + Base64URL::encode(keyData);
  link += "&n=" + PercentEncoding::encode(macName);
  // A long relay URL grows when percent-encoded; a link past the readers' limit is useless.
  if (link.size() > maxLinkBytes) return std::unexpected(PairingError::notPairingURL());
  return link;
}

std::expected<Pairing, PairingError> Pairing::fromString(std::string_view text) {
  if (text.size() > maxLinkBytes) return std::unexpected(PairingError::notPairingURL());
  const auto url = Url::parse(trimmed(text));
  if (!url) return std::unexpected(PairingError::notPairingURL());
  return fromURL(*url);
}

std::expected<Pairing, PairingError> Pairing::fromURL(const Url& url) {
  if (!equalsIgnoringCase(url.scheme, scheme) || !url.host || !equalsIgnoringCase(*url.host, linkHost)) {
    return std::unexpected(PairingError::notPairingURL());
  }
  const auto items = queryItems(url.query.value_or(std::string()));
  const auto item = [&](std::string_view name) -> const std::string* {
    const auto it = items.find(name);
    return it == items.end() ? nullptr : &it->second;
  };

  const std::string* version = item("v");
  if (!version) return std::unexpected(PairingError::missing("v"));
  if (*version != linkVersion) return std::unexpected(PairingError::unsupportedVersion(*version));

  Pairing pairing;
  const std::string* relay = item("r");
  if (!relay || relay->empty()) return std::unexpected(PairingError::missing("r"));
  if (!isRelayURL(*relay)) return std::unexpected(PairingError::invalid("r"));
  pairing.relay = *relay;

  const std::string* topic = item("t");
  if (!topic) return std::unexpected(PairingError::missing("t"));
  if (!isValidTopic(*topic)) return std::unexpected(PairingError::invalid("t"));
  pairing.topic = *topic;

  const std::string* keyID = item("i");
  if (!keyID) return std::unexpected(PairingError::missing("i"));
  if (!Envelope::isValidKeyID(*keyID)) return std::unexpected(PairingError::invalid("i"));
  pairing.keyID = *keyID;

  const std::string* key = item("k");
  if (!key) return std::unexpected(PairingError::missing("k"));
  auto keyData = Base64URL::decode(*key);
  if (!keyData || keyData->size() != Crypto::keyBytes) return std::unexpected(PairingError::invalid("k"));
  pairing.keyData = std::move(*keyData);

  const std::string* name = item("n");
  const std::string macName = name ? *name : std::string();
  if (UnicodeText::graphemeCount(macName) > maxNameLength) return std::unexpected(PairingError::invalid("n"));
  pairing.macName = macName.empty() ? std::string("Mac") : macName;
  return pairing;
}

}  // namespace torvo
