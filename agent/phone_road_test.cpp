// The whole road of a phone's Wake: sealed by the phone's channel, carried by a torvo-relay
// server on 127.0.0.1, taken in by the agent's check-in, and answered with an acknowledgement
// and a state report that the phone opens.
#include <sys/stat.h>

#include <future>

#include <gtest/gtest.h>

#include "agent/agent.h"
#include "model/channels.h"
#include "relay_server/relay_server.h"
#include "tests/fakes/fake_power.h"
#include "tests/fakes/fake_system_settings.h"
#include "tests/test_support.h"

namespace torvo {
namespace {

class PhoneRoadTest : public ::testing::Test {
 protected:
  void SetUp() override { relay_ = "http://127.0.0.1:" + std::to_string(server_.start()); }
  void TearDown() override { server_.stop(); }

  Pairing pairing() const { return Pairing{relay_, topic_, "phone10000", Bytes(32, 1), "Mac"}; }
  PairedDevice device() const {
    const Pairing p = pairing();
    return PairedDevice{p.keyID, p.keyData, "Phone 0", 1, 2};
  }

  RelayServer server_{RelayServer::Options{}};
  std::string relay_;
  std::string topic_ = Pairing::randomTopic();
  std::shared_ptr<const HttpSession> session_ = std::make_shared<HttpSession>();
};

TEST_F(PhoneRoadTest, APhonesWakeIsAcknowledgedAndReportedThroughTheAgent) {
  ::umask(022);
  test::TempDir home;
  const AgentPaths paths = AgentPaths::simulate(home.path());
  test::RecordingLog log;
  FileStore(paths.ownerUID).ensureDirectory(paths.dataDir, 0755);
  ModelStore(paths, log).saveDevices(DevicesFile(relay_, topic_, {device()}));

  test::FakePower power;
  test::FakeSystemSettings settings;
  asio::io_context io;
  WorkerPool workers(2);
  Agent agent(io.get_executor(), paths, power, settings, log,
              AgentOptions{true, 30, 2, relay_, Calendar{"UTC"}},
              [&workers](const std::string& relay, const std::string& topic) {
                return std::unique_ptr<RelayTransport>(std::make_unique<NtfyRelay>(relay, topic, workers));
              },
              systemNow);

  const PhoneChannel phone(pairing(), session_);
  Command wake{CommandKind::wake, 2, "wake-1", systemNow(), "Anna"};
  ASSERT_TRUE(phone.send(Message(wake)).has_value());

  auto done = asio::co_spawn(io, agent.checkIn(Trigger::app), asio::use_future);
  io.run();
  done.get();

  const auto answers = phone.receive(NtfySince::all());
  ASSERT_EQ(answers.size(), 2u);
  const Ack& ack = std::get<Ack>(answers[0].message.payload);
  EXPECT_EQ(ack.forID, "wake-1");
  EXPECT_TRUE(ack.ok);
  const MacState& state = std::get<MacState>(answers[1].message.payload);
  EXPECT_EQ(state.state, PowerState::awake);
  EXPECT_EQ(state.awakeUntil, agent.state().awakeUntil);
  EXPECT_EQ(power.count("holdAwake"), 1u);
}

}  // namespace
}  // namespace torvo
