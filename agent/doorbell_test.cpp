#include "agent/doorbell.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kit/ntfy_client.h"
#include "relay_server/relay_server.h"
#include "tests/agent_fixture.h"

namespace torvo::test {
namespace {

// The agent's side of the doorbell: what a ring starts, what it ignores, and where the doorbell
// points as reachability and pairing change.
class AgentDoorbell : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    pairPhones(2);
    checkIn(Trigger::launch);
  }

  // Rings and runs everything the ring started.
  void ring(const std::string& id) {
    ASSERT_TRUE(doorbell_.ring(id)) << "the doorbell is not following";
    io_.restart();
    io_.run_for(std::chrono::seconds(5));
  }

  Command wake(const std::string& id) { return Command{CommandKind::wake, 2, id, now_, "Phone 0"}; }
};

TEST_F(AgentDoorbell, FollowsTheTopicOnceTheRelayIsKnownReachable) {
  ASSERT_TRUE(doorbell_.followed());
  EXPECT_EQ(*doorbell_.followed(), (FakeDoorbell::Followed{"https://relay.example", agent().devices().topic}));
}

TEST_F(AgentDoorbell, APhoneMessageIsReadAndAnsweredWithoutATimerTick) {
  const std::size_t healthChecks = fake_.healthWaits().size();
  now_ += 5;
  const NtfyEvent sent = event(seal(wake("w1")));
  fake_.queuePoll({sent});
  ring(sent.id);

  // The check-in reads the relay from the cursor as every check-in does, without a health
  // request, and answers the phone.
  ASSERT_EQ(fake_.polls().size(), 2u);
  EXPECT_EQ(fake_.healthWaits().size(), healthChecks);
  EXPECT_EQ(agent().state().lastNtfyID, sent.id);
  EXPECT_EQ(agent().state().awakeUntil, now_ + 7200);
  const auto toSender = receivedBy(0);
  ASSERT_GE(toSender.size(), 2u);
  EXPECT_EQ(std::get<Ack>(toSender[toSender.size() - 2].payload).forID, "w1");
  EXPECT_EQ(std::get<MacState>(toSender.back().payload).state, PowerState::awake);
  EXPECT_EQ(linesWith("check-in (message): relay read, 1 request(s), next at "), 1u);
}

TEST_F(AgentDoorbell, ARingWithNothingNewForcesNoReport) {
  const std::size_t published = fake_.published().size();
  ring("from-elsewhere");
  EXPECT_EQ(fake_.polls().size(), 2u);
  EXPECT_EQ(fake_.published().size(), published);
  EXPECT_EQ(linesWith("check-in (message): relay read, 0 request(s)"), 1u);
}

TEST_F(AgentDoorbell, TheAgentsOwnPublishesRingNothing) {
  // The launch check-in reported to both phones; those events come back on the stream.
  ASSERT_EQ(fake_.published().size(), 2u);
  ring("published-1");
  ring("published-2");
  EXPECT_EQ(fake_.polls().size(), 1u);
  EXPECT_EQ(linesWith("check-in (message)"), 0u);
}

TEST_F(AgentDoorbell, ARingDuringACheckInCostsOneMorePassUnlessItIsTheAgentsOwnPublish) {
  struct Case {
    std::string name;
    std::vector<std::string> rings;  // heard while the check-in's publishes are held
    std::size_t polls;               // polls of the held check-in and what follows it
  };
  const std::vector<Case> cases = {
      // The stream shows the agent's own events before their publishes have returned an id.
      {"own events only", {"published-3", "published-4", "published-5"}, 1},
      {"a phone's message", {"from-a-phone"}, 2},
      {"both, several times", {"published-3", "from-a-phone", "from-another-phone"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    agent_.reset();
    fake_ = FakeRelay();
    publishes_ = 0;
    doorbell_ = FakeDoorbell();
    checkIn(Trigger::launch);
    const std::size_t pollsBefore = fake_.polls().size();

    hooks_.publishGate = std::make_shared<asio::steady_timer>(io_, asio::steady_timer::time_point::max());
    fake_.queuePoll({event(seal(wake("w-" + c.name)))});
    auto held = begin(agent().checkIn(Trigger::timer));
    for (const auto& id : c.rings) ASSERT_TRUE(doorbell_.ring(id));
    release(hooks_.publishGate);
    ASSERT_TRUE(finished(held));
    held.get();
    EXPECT_EQ(fake_.polls().size() - pollsBefore, c.polls);
  }
}

TEST_F(AgentDoorbell, AnUnreachableRelayStopsTheStreamAndTheTimerReadsOnUntilItComesBack) {
  // A poll that fails marks the relay unreachable: the stream is no longer followed.
  now_ += 30;
  fake_.queuePollError(std::make_exception_ptr(TransportError(TransportError::Kind::cannotConnect, "down")));
  checkIn(Trigger::timer);
  EXPECT_FALSE(doorbell_.followed());
  EXPECT_FALSE(doorbell_.ring("unheard"));

  // The timer alone carries on: the next tick asks health and reads what the phone sent.
  now_ += 30;
  const NtfyEvent sent = event(seal(wake("w1")));
  fake_.queuePoll({sent});
  checkIn(Trigger::timer);
  EXPECT_EQ(agent().state().lastNtfyID, sent.id);
  EXPECT_EQ(agent().state().awakeUntil, now_ + 7200);
  // Reachable again, so the stream is followed again and rings work.
  ASSERT_TRUE(doorbell_.followed());
  const std::size_t polls = fake_.polls().size();
  ring("later");
  EXPECT_EQ(fake_.polls().size(), polls + 1);
}

TEST_F(AgentDoorbell, AHealthCheckThatFailsStopsTheStream) {
  fake_.setHealth(RelayHealth{});
  checkIn(Trigger::app);
  EXPECT_FALSE(doorbell_.followed());
  fake_.setHealth(RelayHealth{.reachable = true, .skew = 0});
  checkIn(Trigger::app);
  EXPECT_TRUE(doorbell_.followed());
}

TEST_F(AgentDoorbell, APairingResetMovesTheStreamToTheNewTopic) {
  const std::string before = agent().devices().topic;
  request(AppRequest{AppRequests::ResetPairing{}});
  const std::string after = agent().devices().topic;
  ASSERT_NE(before, after);
  ASSERT_TRUE(doorbell_.followed());
  EXPECT_EQ(doorbell_.followed()->topic, after);
  ASSERT_EQ(doorbell_.moves().size(), 2u);
  EXPECT_EQ(doorbell_.moves()[0].topic, before);
}

TEST_F(AgentDoorbell, AnUndoStopsTheStreamAndTheNextRequestResumesIt) {
  request(AppRequest{AppRequests::UndoSetup{}});
  EXPECT_FALSE(doorbell_.followed());
  request(AppRequest{AppRequests::GetStatus{}});
  EXPECT_FALSE(doorbell_.followed());  // looking does not resume
  request(AppRequest{AppRequests::CheckInNow{}});
  EXPECT_TRUE(doorbell_.followed());
}

TEST_F(AgentDoorbell, StopClosesTheStream) {
  agent().stop();
  EXPECT_FALSE(doorbell_.followed());
}

// The real doorbell against an in-process relay on 127.0.0.1.
class RelayDoorbellTest : public ::testing::Test {
 protected:
  void SetUp() override { startRelay(0); }

  void TearDown() override {
    doorbell_.reset();
    work_.reset();
    thread_.join();
    if (server_) server_->stop();
  }

  void startRelay(int port) {
    server_ = std::make_unique<RelayServer>(RelayServer::Options{.port = port});
    port_ = server_->start();
    relay_ = "http://127.0.0.1:" + std::to_string(port_);
  }

  std::string publish(const std::string& topic, const std::string& text) {
    HttpCancel cancel;
    return NtfyClient(relay_, topic, session_).publish(text, cancel).value_or("");
  }

  Doorbell::Ring recorder() {
    return [this](const std::string& id) {
      std::lock_guard lock(mutex_);
      rings_.push_back(id);
      changed_.notify_all();
    };
  }

  // Waits (at most 10 s) until `id` has rung.
  bool rang(const std::string& id) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] {
      return std::find(rings_.begin(), rings_.end(), id) != rings_.end();
    });
  }

  // Publishes to `topic` every 100 ms until one of them rings (the stream may still be
  // connecting); false when none did within 10 s.
  bool publishUntilRung(const std::string& topic) {
    for (int i = 0; i < 100; ++i) {
      const std::string id = publish(topic, "knock " + std::to_string(i));
      std::unique_lock lock(mutex_);
      if (changed_.wait_for(lock, std::chrono::milliseconds(100),
                            [&] { return std::find(rings_.begin(), rings_.end(), id) != rings_.end(); })) {
        return true;
      }
    }
    return false;
  }

  std::vector<std::string> rings() {
    std::lock_guard lock(mutex_);
    return rings_;
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
  std::thread thread_{[this] { io_.run(); }};
  RecordingLog log_;
  std::unique_ptr<RelayServer> server_;
  int port_ = 0;
  std::string relay_;
  std::shared_ptr<const HttpSession> session_ = std::make_shared<const HttpSession>();
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> rings_;
  std::unique_ptr<RelayDoorbell> doorbell_ = std::make_unique<RelayDoorbell>(
      io_.get_executor(), log_,
      RelayDoorbell::Backoff{std::chrono::milliseconds(50), std::chrono::milliseconds(400)});
};

TEST_F(RelayDoorbellTest, RingsWithTheIdOfEachMessageOnTheFollowedTopicAndMovesWithIt) {
  doorbell_->follow(relay_, "first", recorder());
  ASSERT_TRUE(publishUntilRung("first"));
  const std::string elsewhere = publish("second", "not followed yet");
  const std::string id = publish("first", "hello");
  EXPECT_TRUE(rang(id));
  const auto first = rings();
  EXPECT_EQ(std::count(first.begin(), first.end(), elsewhere), 0);

  doorbell_->follow(relay_, "second", recorder());
  ASSERT_TRUE(publishUntilRung("second"));
  const std::string old = publish("first", "left behind");
  const std::string fresh = publish("second", "followed now");
  EXPECT_TRUE(rang(fresh));
  const auto heard = rings();
  EXPECT_EQ(std::count(heard.begin(), heard.end(), old), 0);
}

TEST_F(RelayDoorbellTest, ReconnectsAfterTheRelayRestartsAndStopsForGood) {
  doorbell_->follow(relay_, "topic", recorder());
  ASSERT_TRUE(publishUntilRung("topic"));

  server_->stop();
  server_.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // a few failed attempts
  startRelay(port_);
  EXPECT_TRUE(publishUntilRung("topic"));
  const auto lines = log_.lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const RecordingLog::Line& line) {
    return line.level == "debug" && line.message.starts_with("stream ended (");
  }));

  doorbell_->stop();
  const std::size_t heard = rings().size();
  publish("topic", "after the stop");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(rings().size(), heard);
}

}  // namespace
}  // namespace torvo::test
