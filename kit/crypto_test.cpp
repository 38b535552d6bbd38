#include "kit/crypto.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace torvo {
namespace {

Bytes hex(std::string_view text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

// Test cases 13 to 16 of the GCM paper by McGrew and Viega, the AES-256 ones.
struct Vector {
  const char* key;
  const char* nonce;
  const char* plaintext;
  const char* aad;
  const char* ciphertext;
  const char* tag;
};

const Vector vectors[] = {
    {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "", "", "",
     "530f8afbc74536b9a963b4f1c4cb738b"},
    {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
     "00000000000000000000000000000000", "", "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
    {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255",
     "",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
     "b094dac5d93471bdec1a502270e3cc6c"},
    {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39",
     "feedfacedeadbeeffeedfacedeadbeefabaddad2",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662",
     "76fc6ece0f4e1768cddf8853bb2d551b"},
};

TEST(CryptoTest, PublishedAESGCMVectorsSealAndOpen) {
  for (const auto& v : vectors) {
    const Bytes key = hex(v.key), nonce = hex(v.nonce), plaintext = hex(v.plaintext), aad = hex(v.aad);
    Bytes expected = nonce;
    for (const auto b : hex(v.ciphertext)) expected.push_back(b);
    for (const auto b : hex(v.tag)) expected.push_back(b);

    const Bytes combined =
        Crypto::sealCombined(key, std::span<const std::uint8_t, Crypto::nonceBytes>(nonce.data(), 12), plaintext, aad);
    EXPECT_EQ(combined, expected) << v.tag;

    Bytes opened{1, 2, 3};
    ASSERT_TRUE(Crypto::openCombined(key, expected, aad, opened)) << v.tag;
    EXPECT_EQ(opened, plaintext);
  }
}

TEST(CryptoTest, EveryFlippedBitFailsToOpen) {
  const Vector& v = vectors[3];
  const Bytes key = hex(v.key), aad = hex(v.aad);
  Bytes combined = hex(v.nonce);
  for (const auto b : hex(v.ciphertext)) combined.push_back(b);
  for (const auto b : hex(v.tag)) combined.push_back(b);
  Bytes out;
  for (std::size_t bit = 0; bit < combined.size() * 8; ++bit) {
    Bytes altered = combined;
    altered[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(Crypto::openCombined(key, altered, aad, out)) << bit;
  }
  Bytes otherAAD = aad;
  otherAAD[0] ^= 1;
  EXPECT_FALSE(Crypto::openCombined(key, combined, otherAAD, out));
  Bytes otherKey = key;
  otherKey[31] ^= 0x80;
  EXPECT_FALSE(Crypto::openCombined(otherKey, combined, aad, out));
  // Still opens after the failures: the reused context carries nothing over.
  EXPECT_TRUE(Crypto::openCombined(key, combined, aad, out));
}

TEST(CryptoTest, KeyLengths) {
  const std::uint8_t nonce[12] = {};
  const Bytes plaintext{1, 2, 3};
  for (const std::size_t length : {16u, 24u, 32u}) {
    const Bytes key(length, 7);
    const Bytes sealed = Crypto::sealCombined(key, nonce, plaintext, {});
    Bytes out;
    EXPECT_TRUE(Crypto::openCombined(key, sealed, {}, out));
    EXPECT_EQ(out, plaintext);
    // A key of another accepted length never opens it.
    EXPECT_FALSE(Crypto::openCombined(Bytes(length == 32 ? 16 : 32, 7), sealed, {}, out));
  }
  for (const std::size_t length : {0u, 15u, 31u, 33u}) {
    const Bytes key(length, 7);
    EXPECT_THROW(Crypto::sealCombined(key, nonce, plaintext, {}), Crypto::CryptoError) << length;
    Bytes out;
    EXPECT_FALSE(Crypto::openCombined(key, Bytes(40, 0), {}, out)) << length;
  }
  Bytes out;
  EXPECT_FALSE(Crypto::openCombined(Bytes(32, 7), Bytes(27, 0), {}, out));
}

TEST(CryptoTest, RandomUUIDsAreCanonicalLowerCaseAndFresh) {
  const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const std::string id = Crypto::randomUUID();
    EXPECT_TRUE(std::regex_match(id, form)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 100u);
  EXPECT_NE(Crypto::randomBytes(32), Crypto::randomBytes(32));
}

}  // namespace
}  // namespace torvo
