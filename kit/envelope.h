// The sealed envelope: the one line of text that carries a message across the relay,
// "rr1." + key id + "." + Base64URL(nonce, ciphertext, tag) under AES-256-GCM with the
// associated data "rr1." + key id. Stateless operations; all are pure apart from drawing
// nonces from the secure random source and may run on any thread.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "kit/bytes.h"
#include "kit/crypto.h"
#include "kit/messages.h"

namespace torvo {

// Why a text did not open, in the order the checks run. No message text.
enum class EnvelopeError {
  notProtocolMessage,  // not three dot-separated fields, or a tag other than "rr1"
  tooLarge,            // more than maxBodyBytes bytes (sealing or parsing)
  malformed,           // invalid key id, undecodable Base64URL, or 28 sealed bytes or fewer
  unknownKey,          // no key for the key id, or not the expected key id
  cannotDecrypt,       // wrong key, altered text, key id or tag
};

// The failures of openMessage: the envelope's, or the message decoding's passed on unchanged.
using OpenMessageError = std::variant<EnvelopeError, MessageError, JSONDecodingError>;

namespace Envelope {

inline constexpr std::string_view version = "rr1";
inline constexpr std::size_t maxBodyBytes = 4096;
inline constexpr std::size_t minSealedBytes = 29;  // nonce and tag plus one byte
inline constexpr std::size_t keyIDLength = 10;

using Nonce = std::span<const std::uint8_t, Crypto::nonceBytes>;

// A key for a key id, or none. The returned view must stay valid until the call that asked
// for it returns.
using KeyLookup = std::function<std::optional<ByteView>(std::string_view keyID)>;

// Exactly 10 bytes, each a to z or 0 to 9.
bool isValidKeyID(std::string_view keyID);

struct Parsed {
  std::string keyID;
  Bytes sealed;  // nonce, ciphertext and tag
};

struct Opened {
  std::string keyID;
  Bytes plaintext;
};

struct OpenedMessage {
  std::string keyID;
  Message message;
};

// Seals `plaintext` with a given nonce. `malformed` for an invalid key id, `tooLarge` when the
// text would exceed maxBodyBytes. A key of a length AES does not accept throws
// Crypto::CryptoError (the cipher's own failure).
std::expected<std::string, EnvelopeError> seal(ByteView plaintext, ByteView key, std::string_view keyID,
                                               Nonce nonce);
// Seals a message's JSON text with a fresh random nonce.
std::expected<std::string, EnvelopeError> seal(const Message& message, ByteView key, std::string_view keyID);

// Splits a text into key id and sealed bytes without any key.
std::expected<Parsed, EnvelopeError> parse(std::string_view text);

// Opens with the key the lookup gives for the text's key id.
std::expected<Opened, EnvelopeError> open(std::string_view text, const KeyLookup& lookup);
// Opens with one key; a key id other than `keyID` is `unknownKey`.
std::expected<Bytes, EnvelopeError> open(std::string_view text, ByteView key, std::string_view keyID);

// open followed by Message::decode; decoding failures are passed on unchanged.
std::expected<OpenedMessage, OpenMessageError> openMessage(std::string_view text, const KeyLookup& lookup);
std::expected<Message, OpenMessageError> openMessage(std::string_view text, ByteView key, std::string_view keyID);

}  // namespace Envelope
}  // namespace torvo
