// The cipher and random source of the phone protocol: AES-GCM (12-byte nonce, 16-byte tag,
// associated data) through OpenSSL's libcrypto, and the system's secure random source.
// Safe from any thread: each thread keeps its own cipher contexts, so the hot path creates
// none per call.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

#include "kit/bytes.h"

namespace torvo::Crypto {

// A failure of the cipher or the random source that is not about the input being opened:
// a key of a length AES does not accept, or the random source refusing to deliver.
class CryptoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::size_t nonceBytes = 12;
inline constexpr std::size_t tagBytes = 16;
inline constexpr std::size_t keyBytes = 32;  // AES-256, the size of every key the product makes

// True for the AES key lengths 16, 24 and 32 bytes.
bool isValidKeyLength(std::size_t length);

// The combined form nonce, ciphertext and tag of `plaintext` under `key` (16, 24 or 32 bytes)
// with `associatedData` authenticated. Throws CryptoError for another key length.
Bytes sealCombined(ByteView key, std::span<const std::uint8_t, nonceBytes> nonce, ByteView plaintext,
                   ByteView associatedData);

// Opens a combined form made by sealCombined into `plaintext` (replaced). False on any
// failure: a short input, a key of a wrong length, a wrong key, altered bytes or altered
// associated data. `plaintext` is unspecified after a failure.
bool openCombined(ByteView key, ByteView combined, ByteView associatedData, Bytes& plaintext);

// Fills `out` from the system's secure random source; throws CryptoError if it fails.
void randomBytes(std::span<std::uint8_t> out);
Bytes randomBytes(std::size_t count);

// A fresh random (version 4) UUID in lower-case canonical form, 36 characters.
std::string randomUUID();

}  // namespace torvo::Crypto
