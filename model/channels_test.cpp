// The channels against a torvo-relay server on 127.0.0.1.
#include "model/channels.h"

#include <gtest/gtest.h>

#include "kit/crypto.h"
#include "relay_server/relay_server.h"

namespace torvo {
namespace {

class ChannelsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = server_.start();
    relay_ = "http://127.0.0.1:" + std::to_string(port_);
  }
  void TearDown() override { server_.stop(); }

  Pairing pairing(int n) const {
    return Pairing{relay_, topic_, "phone" + std::to_string(10000 + n), Bytes(32, static_cast<std::uint8_t>(n + 1)),
                   "Mac"};
  }
  PairedDevice device(int n) const {
    const Pairing p = pairing(n);
    return PairedDevice{p.keyID, p.keyData, "Phone " + std::to_string(n), 1, 2};
  }
  static MacState report() {
    MacState s;
    s.id = Crypto::randomUUID();
    s.ts = 1'700'000'000;
    s.mac = "Mac";
    s.tz = "UTC";
    return s;
  }
  static Command status(std::string id) {
    return Command{CommandKind::status, std::nullopt, std::move(id), 1'700'000'000, "Phone"};
  }

  RelayServer server_{RelayServer::Options{}};
  int port_ = 0;
  std::string relay_;
  std::string topic_ = Pairing::randomTopic();
  std::shared_ptr<const HttpSession> session_ = std::make_shared<HttpSession>();
};

TEST_F(ChannelsTest, SealForAllGivesEachPhoneItsOwnEnvelope) {
  const MacChannel mac(relay_, topic_, {device(0), device(1), device(2)}, session_);
  const auto texts = mac.sealForAll(Message(report()));
  ASSERT_TRUE(texts.has_value());
  ASSERT_EQ(texts->size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ((*texts)[i].substr(4, 10), device(i).kid);
    for (int j = 0; j < 3; ++j) {
      EXPECT_EQ(Envelope::openMessage((*texts)[i], device(j).key(), device(i).kid).has_value(), i == j);
    }
  }
  EXPECT_TRUE(MacChannel(relay_, topic_, {}, session_).sealForAll(Message(report()))->empty());

  MacState big = report();
  big.mac = std::string(5000, 'x');
  EXPECT_EQ(mac.sealForAll(Message(big)).error(), EnvelopeError::tooLarge);
}

TEST_F(ChannelsTest, EachSideKeepsOnlyWhatTravelsItsWay) {
  const MacChannel mac(relay_, topic_, {device(0)}, session_);
  const PhoneChannel phone(pairing(0), session_);
  const PhoneChannel otherPhone(pairing(1), session_);

  // What the relay holds: a stranger's line, an envelope for an unknown key id, a report sealed
  // by a phone's key (wrong way for the computer), and one genuine command.
  NtfyClient raw(relay_, topic_, session_);
  HttpCancel cancel;
  raw.publish("hello, anyone?", cancel);
  raw.publish(*Envelope::seal(Message(status("x")), Bytes(32, 9), "unknown001"), cancel);
  raw.publish(*Envelope::seal(Message(report()), device(0).key(), device(0).kid), cancel);
  const auto genuineID = phone.send(Message(status("s1")));
  ASSERT_TRUE(genuineID.has_value());

  const auto atMac = mac.receive(NtfySince::all());
  ASSERT_EQ(atMac.size(), 1u);
  EXPECT_EQ(atMac[0].ntfyID, *genuineID);
  EXPECT_EQ(atMac[0].kid, device(0).kid);
  EXPECT_EQ(std::get<Command>(atMac[0].message.payload).id, "s1");

  // The phone sees only the report; the other phone sees nothing sealed for phone 0.
  const auto atPhone = phone.receive(NtfySince::all());
  ASSERT_EQ(atPhone.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<MacState>(atPhone[0].message.payload));
  EXPECT_TRUE(otherPhone.receive(NtfySince::all()).empty());
}

TEST_F(ChannelsTest, SendToOneKidAndStreamToThePhone) {
  const MacChannel mac(relay_, topic_, {device(0), device(1)}, session_);
  const PhoneChannel phone(pairing(1), session_);
  auto stream = phone.stream(std::nullopt);
  // Give the stream a moment to open, then address phone 1 alone and an unknown kid.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  mac.send(Message(Ack{"s1", true, std::string("hi"), Crypto::randomUUID(), 1'700'000'000}), "phone10001");
  mac.send(Message(report()), "nobody0001");
  auto received = stream->next();
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(std::get<Ack>(received->message.payload).note, "hi");
  stream->cancel();
}

}  // namespace
}  // namespace torvo
