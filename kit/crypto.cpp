#include "kit/crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>

namespace torvo::Crypto {
namespace {

struct CipherFree {
  void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};
struct ContextFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// The AES-GCM cipher for a key length, fetched once per process (fetching per call costs a
// provider lookup).
const EVP_CIPHER* gcmCipher(std::size_t keyLength) {
  static const std::unique_ptr<EVP_CIPHER, CipherFree> aes128(EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr));
  static const std::unique_ptr<EVP_CIPHER, CipherFree> aes192(EVP_CIPHER_fetch(nullptr, "AES-192-GCM", nullptr));
  static const std::unique_ptr<EVP_CIPHER, CipherFree> aes256(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr));
  switch (keyLength) {
    case 16: return aes128.get();
    case 24: return aes192.get();
    case 32: return aes256.get();
    default: return nullptr;
  }
}

// One reusable cipher context per thread and direction, remembering its cipher so that the
// next call only sets key and nonce.
struct Context {
  std::unique_ptr<EVP_CIPHER_CTX, ContextFree> ctx{EVP_CIPHER_CTX_new()};
  const EVP_CIPHER* cipher = nullptr;
};

// Prepares `context` for `cipher` with `key` and `nonce`; false when OpenSSL refuses.
bool start(Context& context, const EVP_CIPHER* cipher, bool encrypt, const std::uint8_t* key,
           const std::uint8_t* nonce) {
  EVP_CIPHER_CTX* ctx = context.ctx.get();
  if (!ctx) return false;
  if (context.cipher != cipher) {
    context.cipher = nullptr;
    if (EVP_CipherInit_ex2(ctx, cipher, nullptr, nullptr, encrypt ? 1 : 0, nullptr) != 1) return false;
    context.cipher = cipher;
  }
  return EVP_CipherInit_ex2(ctx, nullptr, key, nonce, encrypt ? 1 : 0, nullptr) == 1;
}

bool fitsInt(std::size_t n) { return n <= static_cast<std::size_t>(INT_MAX); }

}  // namespace

bool isValidKeyLength(std::size_t length) { return length == 16 || length == 24 || length == 32; }

Bytes sealCombined(ByteView key, std::span<const std::uint8_t, nonceBytes> nonce, ByteView plaintext,
                   ByteView associatedData) {
  const EVP_CIPHER* cipher = gcmCipher(key.size());
  if (!cipher) throw CryptoError("AES-GCM: invalid key length");
  if (!fitsInt(plaintext.size()) || !fitsInt(associatedData.size())) throw CryptoError("AES-GCM: input too large");
  thread_local Context context;
  if (!start(context, cipher, true, key.data(), nonce.data())) throw CryptoError("AES-GCM: cannot start");
  EVP_CIPHER_CTX* ctx = context.ctx.get();

  Bytes out(nonceBytes + plaintext.size() + tagBytes);
  std::copy(nonce.begin(), nonce.end(), out.begin());
  int length = 0;
  if (!associatedData.empty() &&
      EVP_EncryptUpdate(ctx, nullptr, &length, associatedData.data(), static_cast<int>(associatedData.size())) != 1) {
    throw CryptoError("AES-GCM: associated data refused");
  }
  std::uint8_t* cipherText = out.data() + nonceBytes;
  if (!plaintext.empty() &&
      EVP_EncryptUpdate(ctx, cipherText, &length, plaintext.data(), static_cast<int>(plaintext.size())) != 1) {
    throw CryptoError("AES-GCM: encryption failed");
  }
  if (EVP_EncryptFinal_ex(ctx, cipherText + plaintext.size(), &length) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(tagBytes),
                          cipherText + plaintext.size()) != 1) {
    throw CryptoError("AES-GCM: cannot finish");
  }
  return out;
}

bool openCombined(ByteView key, ByteView combined, ByteView associatedData, Bytes& plaintext) {
  const EVP_CIPHER* cipher = gcmCipher(key.size());
  if (!cipher || combined.size() < nonceBytes + tagBytes) return false;
  if (!fitsInt(combined.size()) || !fitsInt(associatedData.size())) return false;
  thread_local Context context;
  if (!start(context, cipher, false, key.data(), combined.data())) return false;
  EVP_CIPHER_CTX* ctx = context.ctx.get();

  const ByteView cipherText = combined.subspan(nonceBytes, combined.size() - nonceBytes - tagBytes);
  const ByteView tag = combined.last(tagBytes);
  plaintext.resize(cipherText.size());
  int length = 0;
  if (!associatedData.empty() &&
      EVP_DecryptUpdate(ctx, nullptr, &length, associatedData.data(), static_cast<int>(associatedData.size())) != 1) {
    return false;
  }
  if (!cipherText.empty() &&
      EVP_DecryptUpdate(ctx, plaintext.data(), &length, cipherText.data(), static_cast<int>(cipherText.size())) != 1) {
    return false;
  }
  if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(tagBytes),
                          const_cast<std::uint8_t*>(tag.data())) != 1) {
    return false;
  }
  return EVP_DecryptFinal_ex(ctx, plaintext.data() + plaintext.size(), &length) == 1;
}

void randomBytes(std::span<std::uint8_t> out) {
  while (!out.empty()) {
    const std::size_t chunk = std::min<std::size_t>(out.size(), INT_MAX);
    if (RAND_bytes(out.data(), static_cast<int>(chunk)) != 1) throw CryptoError("secure random source failed");
    out = out.subspan(chunk);
  }
}

Bytes randomBytes(std::size_t count) {
  Bytes out(count);
  randomBytes(out);
  return out;
}

std::string randomUUID() {
  std::uint8_t b[16];
  randomBytes(b);
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(hex[b[i] >> 4]);
    out.push_back(hex[b[i] & 0x0F]);
  }
  return out;
}

}  // namespace torvo::Crypto
