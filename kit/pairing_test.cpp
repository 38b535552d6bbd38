#include "kit/pairing.h"

#include <gtest/gtest.h>

#include <map>

#include "kit/base64.h"
#include "kit/envelope.h"

namespace torvo {
namespace {

class PairingTest : public ::testing::Test {
 protected:
  Pairing sample() const {
    Bytes key(32);
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 7);
    return Pairing{"https://relay.example.org/base//", "rr-abcdefghijklmnopqrstuvwx", "k1k2k3k4k5", key,
                   "Ann's MacBook Pro"};
  }

  // A complete link whose items can be replaced one at a time.
  static std::string link(const std::map<std::string, std::string>& overrides = {},
                          const std::vector<std::string>& without = {}) {
    std::vector<std::pair<std::string, std::string>> items{
        {"v", "1"},
        {"r", "https%3A%2F%2Fntfy.sh"},
        {"t", "rr-abcdefghijklmnopqrstuvwx"},
        {"i", "k1k2k3k4k5"},
        {"k", Base64URL::encode(Bytes(32, 1))},
        {"n", "Mac%20mini"},
    };
    std::string out = "torvo://pair?";
    for (auto& [name, value] : items) {
      if (std::find(without.begin(), without.end(), name) != without.end()) continue;
      if (const auto it = overrides.find(name); it != overrides.end()) value = it->second;
      out += name + "=" + value + "&";
    }
    out.pop_back();
    return out;
  }
};

TEST_F(PairingTest, LinkTextIsExact) {
  const auto text = sample().url();
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, "torvo://pair?v=1&r=https%3A%2F%2Frelay.example.org%2Fbase&t=rr-abcdefghijklmnopqrstuvwx"
                   "&i=k1k2k3k4k5&k=" + Base64URL::encode(sample().keyData) + "&n=Ann%27s%20MacBook%20Pro");
}

TEST_F(PairingTest, GeneratedLinkParsesBack) {
  const std::string name = "Küche \xF0\x9F\x8D\xB3 & Bad/1";
  const Pairing generated = Pairing::generate("http://192.168.1.5:8080/", Pairing::randomTopic(), name);
  EXPECT_EQ(generated.keyData.size(), 32u);
  EXPECT_TRUE(Envelope::isValidKeyID(generated.keyID));
  const auto text = generated.url();
  ASSERT_TRUE(text.has_value());
  const auto parsed = Pairing::fromString(" \n" + *text + "\r\n\t ");
  ASSERT_TRUE(parsed.has_value()) << *text;
  Pairing expected = generated;
  expected.relay = "http://192.168.1.5:8080";
  EXPECT_EQ(*parsed, expected);
  EXPECT_EQ(parsed->key().size(), 32u);
}

TEST_F(PairingTest, LinkIsRefusedForRecordsThatCouldNotBeReadBack) {
  const struct {
    void (*change)(Pairing&);
    const char* item;
  } cases[] = {
      {[](Pairing& p) { p.relay = "ftp://x.org"; }, "r"},
      {[](Pairing& p) { p.relay = "///"; }, "r"},
      {[](Pairing& p) { p.topic = "rr-abc&n=Evil"; }, "t"},
      {[](Pairing& p) { p.keyID = "k1k2k3k4k"; }, "i"},
      {[](Pairing& p) { p.keyData.pop_back(); }, "k"},
      {[](Pairing& p) { p.macName = std::string(65, 'm'); }, "n"},
  };
  for (const auto& c : cases) {
    Pairing p = sample();
    c.change(p);
    EXPECT_EQ(p.url(), std::unexpected(PairingError::invalid(c.item))) << c.item;
  }
  // Percent-encoding triples every "/" of a long relay path: past 1,024 bytes no reader
  // would take the link.
  Pairing longRelay = sample();
  longRelay.relay = "https://relay.example.org" + std::string(400, '/') + "x";
  EXPECT_EQ(longRelay.url(), std::unexpected(PairingError::notPairingURL()));
}

TEST_F(PairingTest, ParsingValuesAndDefaults) {
  const struct {
    std::string text;
    std::string relay, topic, name;
  } cases[] = {
      {link(), "https://ntfy.sh", "rr-abcdefghijklmnopqrstuvwx", "Mac mini"},
      {"TORVO://PAIR?" + link().substr(13), "https://ntfy.sh", "rr-abcdefghijklmnopqrstuvwx", "Mac mini"},
      {link({}, {"n"}), "https://ntfy.sh", "rr-abcdefghijklmnopqrstuvwx", "Mac"},
      {link({{"n", ""}}), "https://ntfy.sh", "rr-abcdefghijklmnopqrstuvwx", "Mac"},
      {link({{"n", "%FF"}}), "https://ntfy.sh", "rr-abcdefghijklmnopqrstuvwx", "Mac"},
      {link({{"n", "a+b%2Bc"}}), "https://ntfy.sh", "rr-abcdefghijklmnopqrstuvwx", "a+b+c"},
      {link({{"n", std::string(64, 'n')}}), "https://ntfy.sh", "rr-abcdefghijklmnopqrstuvwx", std::string(64, 'n')},
      {link({{"r", "HTTP://relay.local:8080/x/"}}), "HTTP://relay.local:8080/x/", "rr-abcdefghijklmnopqrstuvwx",
       "Mac mini"},
      {link() + "&t=rr-000000000000000000000000&extra=1&&", "https://ntfy.sh", "rr-abcdefghijklmnopqrstuvwx",
       "Mac mini"},
      {link() + "#fragment", "https://ntfy.sh", "rr-abcdefghijklmnopqrstuvwx", "Mac mini"},
  };
  for (const auto& c : cases) {
    const auto parsed = Pairing::fromString(c.text);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    EXPECT_EQ(parsed->relay, c.relay);
    EXPECT_EQ(parsed->topic, c.topic);
    EXPECT_EQ(parsed->macName, c.name);
    EXPECT_EQ(parsed->keyID, "k1k2k3k4k5");
    EXPECT_EQ(parsed->keyData, Bytes(32, 1));
  }
}

TEST_F(PairingTest, ParsingErrorsInOrder) {
  const std::string key31 = Base64URL::encode(Bytes(31, 1));
  const std::string key33 = Base64URL::encode(Bytes(33, 1));
  const std::string padded = Base64URL::encode(Bytes(32, 1)) + "=";
  const struct {
    std::string text;
    PairingError error;
  } cases[] = {
      {link() + "&x=" + std::string(1024 - link().size() - 2, 'x'), PairingError::notPairingURL()},
      {"torvo://pair?v=1&n=My Mac", PairingError::notPairingURL()},
      {"https://pair?" + link().substr(13), PairingError::notPairingURL()},
      {"torvo://peer?" + link().substr(13), PairingError::notPairingURL()},
      {"torvo:pair?v=1", PairingError::notPairingURL()},
      {link({{"n", "%ZZ"}}), PairingError::notPairingURL()},
      {"", PairingError::notPairingURL()},
      {link({}, {"v"}), PairingError::missing("v")},
      {"torvo://pair", PairingError::missing("v")},
      {link({{"v", "2"}}), PairingError::unsupportedVersion("2")},
      {link({{"v", ""}}), PairingError::unsupportedVersion("")},
      {"torvo://pair?V=1&" + link().substr(17), PairingError::missing("v")},
      {link({}, {"r"}), PairingError::missing("r")},
      {link({{"r", ""}}), PairingError::missing("r")},
      {link({{"r", "ftp%3A%2F%2Fx.org"}}), PairingError::invalid("r")},
      {link({{"r", "https%3A%2F%2F"}}), PairingError::invalid("r")},
      {link({{"r", "relay.example.org"}}), PairingError::invalid("r")},
      {link({{"r", "%E0%A4"}}), PairingError::missing("r")},
      {link({}, {"t"}), PairingError::missing("t")},
      {link({{"t", "rr-abcdefghijklmnopqrstuvw"}}), PairingError::invalid("t")},
      {link({{"t", "rr-Abcdefghijklmnopqrstuvwx"}}), PairingError::invalid("t")},
      {link({{"t", "xx-abcdefghijklmnopqrstuvwx"}}), PairingError::invalid("t")},
      {link({}, {"i"}), PairingError::missing("i")},
      {link({{"i", "K1k2k3k4k5"}}), PairingError::invalid("i")},
      {link({{"i", "k1k2k3k4k"}}), PairingError::invalid("i")},
      {link({}, {"k"}), PairingError::missing("k")},
      {link({{"k", key31}}), PairingError::invalid("k")},
      {link({{"k", key33}}), PairingError::invalid("k")},
      {link({{"k", padded}}), PairingError::invalid("k")},
      {link({{"n", std::string(65, 'n')}}), PairingError::invalid("n")},
      // Earlier items are judged first.
      {link({{"v", "9"}, {"t", "bad"}}), PairingError::unsupportedVersion("9")},
      {link({{"t", "bad"}, {"k", "bad"}}), PairingError::invalid("t")},
  };
  for (const auto& c : cases) {
    const auto parsed = Pairing::fromString(c.text);
    ASSERT_FALSE(parsed.has_value()) << c.text;
    EXPECT_EQ(parsed.error(), c.error) << c.text;
  }
}

TEST_F(PairingTest, LengthLimitCountsBytesBeforeTrimming) {
  const std::string base = link();
  const std::string at1024 = base + std::string(1024 - base.size(), ' ');
  EXPECT_TRUE(Pairing::fromString(at1024).has_value());
  EXPECT_EQ(Pairing::fromString(at1024 + " ").error(), PairingError::notPairingURL());
}

TEST_F(PairingTest, NameLengthCountsCharacters) {
  std::string name;
  for (int i = 0; i < 64; ++i) name += "e%CC%81";  // "e" and a combining accent: one character
  const auto parsed = Pairing::fromString(link({{"n", name}}));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(Pairing::fromString(link({{"n", name + "x"}})).error(), PairingError::invalid("n"));
}

TEST_F(PairingTest, RandomValuesFollowTheirRules) {
  std::map<char, int> counts;
  for (int i = 0; i < 200; ++i) {
    const std::string topic = Pairing::randomTopic();
    EXPECT_TRUE(Pairing::isValidTopic(topic)) << topic;
    const std::string id = Pairing::randomString(10);
    EXPECT_TRUE(Envelope::isValidKeyID(id)) << id;
    for (const char c : Pairing::randomString(36)) ++counts[c];
  }
  // 7,200 draws over 36 characters: every character turns up, none wildly often.
  EXPECT_EQ(counts.size(), 36u);
  for (const auto& [c, n] : counts) EXPECT_LT(n, 400) << c;
  EXPECT_NE(Pairing::randomTopic(), Pairing::randomTopic());
  EXPECT_EQ(Pairing::randomString(0), "");
}

TEST_F(PairingTest, TopicRule) {
  EXPECT_TRUE(Pairing::isValidTopic("rr-0123456789abcdefghijklmn"));
  EXPECT_FALSE(Pairing::isValidTopic("rr-0123456789abcdefghijklmno"));
  EXPECT_FALSE(Pairing::isValidTopic("rr_0123456789abcdefghijklmn"));
  EXPECT_FALSE(Pairing::isValidTopic("rr-0123456789abcdefghijk-mn"));
  EXPECT_FALSE(Pairing::isValidTopic(""));
}

}  // namespace
}  // namespace torvo
