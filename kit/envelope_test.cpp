#include "kit/envelope.h"

#include <gtest/gtest.h>

#include <map>

#include "kit/base64.h"

namespace torvo {
namespace {

class EnvelopeTest : public ::testing::Test {
 protected:
  const Bytes key = Bytes(32, 0x42);
  const Bytes otherKey = Bytes(32, 0x43);
  const std::string kid = "abcdefghij";
  const std::array<std::uint8_t, 12> nonce{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

  std::string sealText(std::string_view plaintext, std::string_view keyID) {
    auto text = Envelope::seal(bytesOf(plaintext), key, keyID, nonce);
    EXPECT_TRUE(text.has_value());
    return text.value_or("");
  }

  // A lookup over fixed devices.
  static Envelope::KeyLookup lookupIn(const std::map<std::string, Bytes, std::less<>>& keys) {
    return [&keys](std::string_view id) -> std::optional<ByteView> {
      const auto it = keys.find(id);
      if (it == keys.end()) return std::nullopt;
      return ByteView(it->second);
    };
  }
};

TEST_F(EnvelopeTest, FixedNonceIsDeterministicAndOpens) {
  const std::string text = sealText("hello", kid);
  EXPECT_EQ(text, sealText("hello", kid));
  ASSERT_TRUE(text.starts_with("rr1.abcdefghij."));
  const auto sealed = Base64URL::decode(text.substr(15));
  ASSERT_TRUE(sealed.has_value());
  ASSERT_EQ(sealed->size(), 12u + 5u + 16u);
  EXPECT_TRUE(std::equal(nonce.begin(), nonce.end(), sealed->begin()));

  const auto opened = Envelope::open(text, key, kid);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(textOf(*opened), "hello");
}

TEST_F(EnvelopeTest, MessageFormUsesAFreshNonceEachTime) {
  const Message message = Command{CommandKind::wake, 2, "w1", 100, "phone"};
  const auto a = Envelope::seal(message, key, kid);
  const auto b = Envelope::seal(message, key, kid);
  ASSERT_TRUE(a.has_value() && b.has_value());
  EXPECT_NE(*a, *b);
  const std::map<std::string, Bytes, std::less<>> keys{{kid, key}};
  const auto opened = Envelope::openMessage(*a, lookupIn(keys));
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->keyID, kid);
  EXPECT_EQ(opened->message, message);
  const auto single = Envelope::openMessage(*b, key, kid);
  ASSERT_TRUE(single.has_value());
  EXPECT_EQ(*single, message);
}

TEST_F(EnvelopeTest, SizeLimitOnSealing) {
  // 3,032 plaintext bytes give 3,060 sealed bytes, 4,080 Base64URL characters: 4,095 in all.
  const auto largest = Envelope::seal(Bytes(3032, 'x'), key, kid, nonce);
  ASSERT_TRUE(largest.has_value());
  EXPECT_EQ(largest->size(), 4095u);
  EXPECT_EQ(Envelope::seal(Bytes(3033, 'x'), key, kid, nonce), std::unexpected(EnvelopeError::tooLarge));
}

TEST_F(EnvelopeTest, SealRefusesInvalidKeyIDAndThrowsForInvalidKeyLength) {
  EXPECT_EQ(Envelope::seal(Bytes{1}, key, "ABCDEFGHIJ", nonce), std::unexpected(EnvelopeError::malformed));
  EXPECT_THROW((void)Envelope::seal(Bytes{1}, Bytes(31, 1), kid, nonce), Crypto::CryptoError);
}

TEST_F(EnvelopeTest, KeyIDRule) {
  const struct {
    std::string id;
    bool valid;
  } cases[] = {
      {"abcdefghij", true}, {"0123456789", true},  {"a1b2c3d4e5", true},   {"abcdefghi", false},
      {"abcdefghijk", false}, {"Abcdefghij", false}, {"abcde-ghij", false}, {"", false},
      {"abcdefgh\xc3\xa9", false},
  };
  for (const auto& c : cases) EXPECT_EQ(Envelope::isValidKeyID(c.id), c.valid) << c.id;
}

TEST_F(EnvelopeTest, ParseErrorsInOrder) {
  const std::string body28 = Base64URL::encode(Bytes(28, 9));
  const std::string body29 = Base64URL::encode(Bytes(29, 9));
  const struct {
    std::string text;
    std::optional<EnvelopeError> error;
  } cases[] = {
      {"hello world", EnvelopeError::notProtocolMessage},
      {"rr1.abcdefghij", EnvelopeError::notProtocolMessage},
      {"rr1.abcdefghij." + body29 + ".x", EnvelopeError::notProtocolMessage},
      {"rr2.abcdefghij." + body29, EnvelopeError::notProtocolMessage},
      {"RR1.abcdefghij." + body29, EnvelopeError::notProtocolMessage},
      {"rr1.." + body29, EnvelopeError::malformed},
      {"rr1.Abcdefghij." + body29, EnvelopeError::malformed},
      {"rr1.abcdefghi." + body29, EnvelopeError::malformed},
      {"rr1.abcdefghijk." + body29, EnvelopeError::malformed},
      {"rr1.abcdefghij." + body29 + "=", EnvelopeError::malformed},
      {"rr1.abcdefghij.+" + body29.substr(1), EnvelopeError::malformed},
      {"rr1.abcdefghij./" + body29.substr(1), EnvelopeError::malformed},
      {"rr1.abcdefghij." + body29 + "AA", EnvelopeError::malformed},  // length 1 modulo 4
      {"rr1.abcdefghij.", EnvelopeError::malformed},
      {"rr1.abcdefghij." + body28, EnvelopeError::malformed},
      {"rr1.abcdefghij." + body29, std::nullopt},
      // Too large wins over everything else.
      {"rr1.ABC." + std::string(4089, '!'), EnvelopeError::tooLarge},
  };
  for (const auto& c : cases) {
    const auto parsed = Envelope::parse(c.text);
    if (c.error) {
      ASSERT_FALSE(parsed.has_value()) << c.text.substr(0, 60);
      EXPECT_EQ(parsed.error(), *c.error) << c.text.substr(0, 60);
    } else {
      ASSERT_TRUE(parsed.has_value()) << c.text;
      EXPECT_EQ(parsed->keyID, "abcdefghij");
      EXPECT_EQ(parsed->sealed, Bytes(29, 9));
    }
  }
}

TEST_F(EnvelopeTest, SizeLimitOnParsingCountsBytes) {
  // 4,081 characters of Base64URL cannot decode (1 modulo 4), so a 4,096-byte text passes the
  // size test and fails as malformed; one more byte is too large.
  const std::string at4096 = "rr1.abcdefghij." + std::string(4081, 'A');
  ASSERT_EQ(at4096.size(), 4096u);
  EXPECT_EQ(Envelope::parse(at4096).error(), EnvelopeError::malformed);
  EXPECT_EQ(Envelope::parse(at4096 + "A").error(), EnvelopeError::tooLarge);
  // Non-ASCII counts by its bytes: 2,048 two-byte letters are 4,096 bytes.
  std::string wide;
  for (int i = 0; i < 2049; ++i) wide += "\xc3\xa9";
  EXPECT_EQ(Envelope::parse(wide).error(), EnvelopeError::tooLarge);
}

TEST_F(EnvelopeTest, OpenFailures) {
  const std::string text = sealText(R"({"v":2})", kid);
  const std::string otherKid = "abcdefghik";
  const std::map<std::string, Bytes, std::less<>> keys{{kid, key}, {otherKid, key}};
  const std::map<std::string, Bytes, std::less<>> wrongKeys{{kid, otherKey}};
  const std::map<std::string, Bytes, std::less<>> none{};

  EXPECT_TRUE(Envelope::open(text, lookupIn(keys)).has_value());
  EXPECT_EQ(Envelope::open(text, lookupIn(none)).error(), EnvelopeError::unknownKey);
  EXPECT_EQ(Envelope::open(text, lookupIn(wrongKeys)).error(), EnvelopeError::cannotDecrypt);
  EXPECT_EQ(Envelope::open(text, key, otherKid).error(), EnvelopeError::unknownKey);
  EXPECT_EQ(Envelope::open(text, otherKey, kid).error(), EnvelopeError::cannotDecrypt);
  EXPECT_EQ(Envelope::open(text, Bytes(31, 0x42), kid).error(), EnvelopeError::cannotDecrypt);

  // Another valid key id whose key is known: the associated data differs.
  std::string swapped = text;
  swapped.replace(4, 10, otherKid);
  EXPECT_EQ(Envelope::open(swapped, lookupIn(keys)).error(), EnvelopeError::cannotDecrypt);

  // Each character of the sealed field changed in its highest bit, which always carries data
  // (the low bits of the last character may be unused padding).
  constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  for (std::size_t i = 15; i < text.size(); ++i) {
    std::string altered = text;
    altered[i] = alphabet[alphabet.find(altered[i]) ^ 32];
    const auto opened = Envelope::open(altered, key, kid);
    ASSERT_FALSE(opened.has_value()) << i;
    EXPECT_EQ(opened.error(), EnvelopeError::cannotDecrypt) << i;
  }
  // Sealed data that passes parsing but is not genuine.
  const std::string forged = "rr1." + kid + "." + Base64URL::encode(Bytes(29, 0));
  EXPECT_EQ(Envelope::open(forged, key, kid).error(), EnvelopeError::cannotDecrypt);
  // Parse errors pass through unchanged.
  EXPECT_EQ(Envelope::open("nope", lookupIn(keys)).error(), EnvelopeError::notProtocolMessage);
}

TEST_F(EnvelopeTest, OpenMessagePassesDecodingErrorsThrough) {
  const std::map<std::string, Bytes, std::less<>> keys{{kid, key}};
  const auto notJSON = Envelope::openMessage(sealText("plain words", kid), lookupIn(keys));
  ASSERT_FALSE(notJSON.has_value());
  EXPECT_TRUE(std::holds_alternative<JSONDecodingError>(notJSON.error()));

  const auto oldVersion =
      Envelope::openMessage(sealText(R"({"v":1,"type":"wake","id":"i","ts":5})", kid), key, kid);
  ASSERT_FALSE(oldVersion.has_value());
  EXPECT_EQ(oldVersion.error(), OpenMessageError(MessageError::unsupportedVersion(1)));

  const auto envelopeError = Envelope::openMessage(sealText("x", kid), otherKey, kid);
  ASSERT_FALSE(envelopeError.has_value());
  EXPECT_EQ(envelopeError.error(), OpenMessageError(EnvelopeError::cannotDecrypt));
}

}  // namespace
}  // namespace torvo
