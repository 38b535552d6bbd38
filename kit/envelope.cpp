#include "kit/envelope.h"

#include <algorithm>
#include <array>

#include "kit/base64.h"

namespace torvo::Envelope {
namespace {

// "rr1." + key id: authenticated with every sealed text, so that a changed tag or key id
// fails to open.
std::array<std::uint8_t, 14> associatedData(std::string_view keyID) {
  std::array<std::uint8_t, 14> aad{'r', 'r', '1', '.'};
  std::copy(keyID.begin(), keyID.end(), aad.begin() + 4);
  return aad;
}

std::unexpected<OpenMessageError> failOpen(const EnvelopeError& e) { return std::unexpected(OpenMessageError(e)); }

std::unexpected<OpenMessageError> failDecode(MessageDecodeError&& e) {
  return std::visit([](auto&& inner) { return std::unexpected(OpenMessageError(std::move(inner))); }, std::move(e));
}

// Decrypts parsed sealed bytes into `plaintext`.
bool decrypt(const Parsed& parsed, ByteView key, Bytes& plaintext) {
  const auto aad = associatedData(parsed.keyID);
  return Crypto::openCombined(key, parsed.sealed, aad, plaintext);
}

}  // namespace

bool isValidKeyID(std::string_view keyID) {
  if (keyID.size() != keyIDLength) return false;
  return std::all_of(keyID.begin(), keyID.end(),
                     [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); });
}

std::expected<std::string, EnvelopeError> seal(ByteView plaintext, ByteView key, std::string_view keyID,
                                               Nonce nonce) {
  if (!isValidKeyID(keyID)) return std::unexpected(EnvelopeError::malformed);
  // The text's size follows exactly from the plaintext's (unpadded Base64URL of the sealed
  // bytes), so the limit is checked before anything is encrypted.
  const std::size_t sealedBytes = Crypto::nonceBytes + plaintext.size() + Crypto::tagBytes;
  const std::size_t textBytes = version.size() + 1 + keyIDLength + 1 + (sealedBytes * 4 + 2) / 3;
  if (textBytes > maxBodyBytes) return std::unexpected(EnvelopeError::tooLarge);
  const auto aad = associatedData(keyID);
  const Bytes combined = Crypto::sealCombined(key, nonce, plaintext, aad);
  std::string text;
  text.reserve(textBytes);
  text.append(version).push_back('.');
  text.append(keyID).push_back('.');
  text.append(Base64URL::encode(combined));
  return text;
}

std::expected<std::string, EnvelopeError> seal(const Message& message, ByteView key, std::string_view keyID) {
  std::array<std::uint8_t, Crypto::nonceBytes> nonce;
  Crypto::randomBytes(nonce);
  return seal(message.jsonData(), key, keyID, Nonce(nonce));
}

std::expected<Parsed, EnvelopeError> parse(std::string_view text) {
  if (text.size() > maxBodyBytes) return std::unexpected(EnvelopeError::tooLarge);
  const std::size_t first = text.find('.');
  if (first == std::string_view::npos) return std::unexpected(EnvelopeError::notProtocolMessage);
  const std::size_t second = text.find('.', first + 1);
  if (second == std::string_view::npos || text.find('.', second + 1) != std::string_view::npos) {
    return std::unexpected(EnvelopeError::notProtocolMessage);
  }
  if (text.substr(0, first) != version) return std::unexpected(EnvelopeError::notProtocolMessage);
  const std::string_view keyID = text.substr(first + 1, second - first - 1);
  if (!isValidKeyID(keyID)) return std::unexpected(EnvelopeError::malformed);
  Parsed parsed;
  if (!Base64URL::decodeInto(text.substr(second + 1), parsed.sealed)) return std::unexpected(EnvelopeError::malformed);
  if (parsed.sealed.size() < minSealedBytes) return std::unexpected(EnvelopeError::malformed);
  parsed.keyID = std::string(keyID);
  return parsed;
}

std::expected<Opened, EnvelopeError> open(std::string_view text, const KeyLookup& lookup) {
  auto parsed = parse(text);
  if (!parsed) return std::unexpected(parsed.error());
  const std::optional<ByteView> key = lookup(parsed->keyID);
  if (!key) return std::unexpected(EnvelopeError::unknownKey);
  Opened opened;
  if (!decrypt(*parsed, *key, opened.plaintext)) return std::unexpected(EnvelopeError::cannotDecrypt);
  opened.keyID = std::move(parsed->keyID);
  return opened;
}

std::expected<Bytes, EnvelopeError> open(std::string_view text, ByteView key, std::string_view keyID) {
  auto parsed = parse(text);
  if (!parsed) return std::unexpected(parsed.error());
  if (parsed->keyID != keyID) return std::unexpected(EnvelopeError::unknownKey);
  Bytes plaintext;
  if (!decrypt(*parsed, key, plaintext)) return std::unexpected(EnvelopeError::cannotDecrypt);
  return plaintext;
}

std::expected<OpenedMessage, OpenMessageError> openMessage(std::string_view text, const KeyLookup& lookup) {
  auto opened = open(text, lookup);
  if (!opened) return failOpen(opened.error());
  auto message = Message::decode(ByteView(opened->plaintext));
  if (!message) return failDecode(std::move(message.error()));
  return OpenedMessage{std::move(opened->keyID), std::move(*message)};
}

std::expected<Message, OpenMessageError> openMessage(std::string_view text, ByteView key, std::string_view keyID) {
  auto plaintext = open(text, key, keyID);
  if (!plaintext) return failOpen(plaintext.error());
  auto message = Message::decode(ByteView(*plaintext));
  if (!message) return failDecode(std::move(message.error()));
  return std::move(*message);
}

}  // namespace torvo::Envelope
