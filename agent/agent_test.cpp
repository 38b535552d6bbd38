#include "agent/agent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <tuple>

#include "tests/agent_fixture.h"

namespace torvo {
namespace {

using test::AgentTest;
using test::TestRelay;
using test::start;
using test::utc;

TEST_F(AgentTest, ConstructionLoadsFilesAndLogsTheInterval) {
  agent();
  EXPECT_TRUE(log_.has("info", "created a new topic and an empty device list"));
  EXPECT_TRUE(log_.has("info", "checks for a Wake every 15 min"));
  EXPECT_TRUE(std::filesystem::exists(paths_.devices()));
  EXPECT_EQ(agent().devices().relay, "https://relay.example");
}

TEST_F(AgentTest, ArrivalsDuringAPassCostOneMoreForcedPass) {
  pairPhones(1);
  checkIn(Trigger::launch);
  const std::size_t reportsBefore = fake_.published().size();
  const std::size_t passesBefore = power_.count("beginCheckIn");

  gate_ = std::make_shared<asio::steady_timer>(io_, asio::steady_timer::time_point::max());
  std::vector<std::future<void>> calls;
  calls.push_back(asio::co_spawn(io_, agent().checkIn(Trigger::timer), asio::use_future));
  io_.restart();
  io_.poll();  // the first pass now waits in its poll
  for (Trigger t : {Trigger::app, Trigger::app, Trigger::timer}) {
    calls.push_back(asio::co_spawn(io_, agent().checkIn(t), asio::use_future));
  }
  io_.poll();
  for (std::size_t i = 1; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  }
  gate_->cancel();
  gate_.reset();  // relays made from now on poll at once
  io_.run();
  for (auto& call : calls) call.get();

  EXPECT_EQ(power_.count("beginCheckIn") - passesBefore, 2u);
  // The first (timer) pass reports nothing new; the second pass is forced and reports.
  EXPECT_EQ(fake_.published().size() - reportsBefore, 1u);
}

TEST_F(AgentTest, TimerCheckInWithAReachableRelayStaysQuiet) {
  pairPhones(1);
  checkIn(Trigger::launch);
  EXPECT_EQ(fake_.healthWaits(), std::vector<double>{60});
  EXPECT_TRUE(log_.has("info", "relay reachable"));
  const std::size_t lines = log_.lines().size();

  now_ += 30;
  checkIn(Trigger::timer);
  EXPECT_EQ(fake_.healthWaits().size(), 1u);
  EXPECT_EQ(log_.lines().size(), lines);

  // A new message still gets its acknowledgement and a report.
  now_ += 30;
  fake_.queuePoll({event(seal(Command{CommandKind::status, std::nullopt, "s1", now_, "Phone 0"}))});
  checkIn(Trigger::timer);
  const auto received = receivedBy(0);
  ASSERT_GE(received.size(), 3u);
  EXPECT_TRUE(std::holds_alternative<Ack>(received[received.size() - 2].payload));
  EXPECT_TRUE(std::holds_alternative<MacState>(received.back().payload));
  EXPECT_EQ(linesWith("check-in ("), 1u);  // only the launch's line
}

TEST_F(AgentTest, FirstPollLooksBackTheWindowThenFollowsEventIDs) {
  pairPhones(1);
  fake_.queuePoll({event("not an envelope"), event("another")});
  checkIn(Trigger::launch);
  now_ += 30;
  checkIn(Trigger::timer);
  ASSERT_EQ(fake_.polls().size(), 2u);
  EXPECT_EQ(fake_.polls()[0], NtfySince::unix(start - 2100));
  EXPECT_EQ(fake_.polls()[1], NtfySince::id("ev2"));
  EXPECT_EQ(agent().state().drops.invalid, 2);
  EXPECT_TRUE(log_.has("debug", "dropped a message: notOurs"));
}

TEST_F(AgentTest, AFailedPollIsLoggedAndTheNextTimerCheckInAsksForHealth) {
  pairPhones(1);
  fake_.queuePollError(std::make_exception_ptr(NtfyError::http(500)));
  checkIn(Trigger::app);
  EXPECT_TRUE(log_.has("error", "poll failed (HTTP 500)"));
  EXPECT_EQ(linesWith("check-in (app): relay not reachable, next at "), 1u);
  EXPECT_EQ(agent().state().relayReachable, false);
  EXPECT_EQ(agent().state().lastCheckIn, std::nullopt);

  now_ += 30;
  checkIn(Trigger::timer);
  EXPECT_EQ(fake_.healthWaits(), (std::vector<double>{60, 10}));
  EXPECT_EQ(agent().state().lastCheckIn, now_);
}

TEST_F(AgentTest, AWakeFromAPhoneIsHeldAcknowledgedAndReported) {
  pairPhones(2);
  checkIn(Trigger::launch);
  now_ += 60;
  fake_.queuePoll({event(seal(Command{CommandKind::wake, 2, "w1", now_, "Phone 0"}))});
  checkIn(Trigger::timer);

  EXPECT_EQ(agent().state().awakeUntil, now_ + 7200);
  EXPECT_EQ(power_.count("declareUserActivity"), 1u);
  EXPECT_EQ(power_.count("holdAwake awake until 00:14"), 1u);
  EXPECT_TRUE(log_.has("info", "Wake 2 h from Phone 0 (phone10000): awake until 00:14"));
  EXPECT_TRUE(log_.has("info", "holding the Mac awake until 00:14 (Wake from Phone 0 (phone10000))"));

  const auto toSender = receivedBy(0);
  const Ack& ack = std::get<Ack>(toSender[toSender.size() - 2].payload);
  EXPECT_EQ(ack.forID, "w1");
  EXPECT_EQ(ack.note, "Awake until 00:14");
  EXPECT_EQ(std::get<MacState>(toSender.back().payload).state, PowerState::awake);
  EXPECT_EQ(std::get<MacState>(receivedBy(1).back().payload).state, PowerState::awake);
  EXPECT_EQ(agent().state().lastReportedState, PowerState::awake);

  // The same Wake at the next check-in: held again, logged once.
  now_ += 30;
  checkIn(Trigger::timer);
  EXPECT_EQ(linesWith("holding the Mac awake"), 1u);
}

TEST_F(AgentTest, AWakeThatRanOutWhileAsleepEndsAtTheNextCheckIn) {
  pairPhones(1);
  fake_.queuePoll({event(seal(Command{CommandKind::wake, 1, "w1", now_, "Phone 0"}))});
  checkIn(Trigger::launch);
  ASSERT_EQ(agent().state().lastReportedState, PowerState::awake);

  now_ += 2 * 3600;
  checkIn(Trigger::systemWake);
  EXPECT_TRUE(log_.has("info", "Wake ended at 23:13; macOS decides sleep now"));
  EXPECT_EQ(power_.calls.back(), "endCheckIn");
  EXPECT_EQ(agent().state().awakeUntil, std::nullopt);
  EXPECT_EQ(std::get<MacState>(receivedBy(0).back().payload).state, PowerState::asleep);
  EXPECT_EQ(agent().state().lastReportedState, PowerState::asleep);
}

TEST_F(AgentTest, StopKeepsTheWakeAndTheNextStartTakesItUp) {
  pairPhones(1);
  fake_.queuePoll({event(seal(Command{CommandKind::wake, 3, "w1", now_, "Phone 0"}))});
  checkIn(Trigger::launch);
  agent().stop();
  EXPECT_EQ(power_.count("cancelAllWakes"), 1u);
  EXPECT_EQ(power_.calls.back(), "releaseAwake");

  const auto saved = AgentStateFile::fromJSON(nlohmann::json::parse(test::readFile(paths_.state())));
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(saved->awakeUntil, start + 3 * 3600);
  EXPECT_EQ(saved->scheduledWake, std::nullopt);

  agent_.reset();
  now_ += 600;
  agent();
  EXPECT_TRUE(log_.has("info", "Wake from before the restart continues until 01:13"));
  checkIn(Trigger::launch);
  EXPECT_EQ(power_.count("holdAwake awake until 01:13"), 2u);
  EXPECT_TRUE(agent().state().scheduledWake.has_value());
}

TEST_F(AgentTest, PublishCarriesOnPastAFailedDevice) {
  pairPhones(3);
  agent();
  FakeRelay fake;
  std::set<int> failing{2};
  int count = 0;
  TestRelay relay(fake, io_, nullptr, failing, count);
  const std::vector<std::string> kids{"phone10000", "phone10001", "phone10002"};
  const Message report(Engine::stateMessage(AgentConfig(), AgentStateFile(), MacFacts{}, now_));
  bool result = true;
  auto send = [&](const Message& message, const std::vector<std::string>& to) {
    run([](Agent& agent, TestRelay& relay, const Message& message, const std::vector<std::string>& to,
           bool& result) -> asio::awaitable<void> {
      result = co_await agent.publish(relay, message, to, 15);
    }(agent(), relay, message, to, result));
  };

  send(report, kids);
  EXPECT_FALSE(result);
  EXPECT_EQ(fake.published().size(), 2u);
  EXPECT_TRUE(log_.has("error", "couldn't send state to Phone 1 (phone10001)"));
  EXPECT_EQ(linesWith("sent state"), 0u);

  failing.clear();
  send(report, kids);
  EXPECT_TRUE(result);
  EXPECT_TRUE(log_.has("info", "sent state to 3 device(s)"));

  const std::size_t lines = log_.lines().size();
  send(Message(Ack{"x", true, std::nullopt, "y", now_}), {});
  EXPECT_TRUE(result);
  EXPECT_EQ(log_.lines().size(), lines);
}

TEST_F(AgentTest, PairingPaceWhileACodeIsOpen) {
  DevicesFile devices("https://relay.example", "rr-aaaaaaaaaaaaaaaaaaaaaaaa",
                      {PairedDevice{"pending001", Bytes(32, 5), "Phone", start - 10, std::nullopt}});
  FileStore(paths_.ownerUID).ensureDirectory(paths_.dataDir, 0755);
  ModelStore(paths_, log_).saveDevices(devices);
  EXPECT_EQ(agent().nextPollDelay(start), 2);
  EXPECT_EQ(agent().nextPollDelay(start + 290), 30);

  now_ = start + 290;
  checkIn(Trigger::timer);
  EXPECT_TRUE(log_.has("info", "pairing code expired unused (pending001)"));
  EXPECT_TRUE(agent().devices().devices.empty());
}

TEST_F(AgentTest, WakeChainSchedulesOnceAndFollowsTheInterval) {
  agent().ensureWakeChain(start);
  agent().ensureWakeChain(start + 10);
  EXPECT_EQ(power_.count("scheduleWake"), 1u);
  const auto first = agent().state().scheduledWake;
  ASSERT_TRUE(first.has_value());
  EXPECT_GT(*first, start + 90);

  // A passed wake is replaced.
  agent().ensureWakeChain(*first);
  EXPECT_EQ(power_.count("scheduleWake"), 2u);
}

// The alarm of a killed agent died with it, though its state file still names the wake: the
// next start arms the next check-in's wake again, and a timer check-in after it does not.
TEST_F(AgentTest, TheLaunchCheckInArmsTheWakeWhateverTheStateFileSays) {
  pairPhones(1);
  checkIn(Trigger::launch);
  const auto armed = agent().state().scheduledWake;
  ASSERT_TRUE(armed.has_value());
  ASSERT_EQ(power_.count("scheduleWake " + std::to_string(*armed)), 1u);
  agent().saveState();  // what a SIGKILL leaves behind: no stop, the wake still recorded

  agent_.reset();
  now_ += 60;
  power_.calls.clear();
  checkIn(Trigger::launch);
  EXPECT_EQ(power_.count("scheduleWake " + std::to_string(*armed)), 1u);
  EXPECT_EQ(agent().state().scheduledWake, armed);
  checkIn(Trigger::timer);
  EXPECT_EQ(power_.count("scheduleWake"), 1u);
}

TEST_F(AgentTest, ARelayThatIsNotAURLIsNeverAsked) {
  FileStore(paths_.ownerUID).ensureDirectory(paths_.dataDir, 0755);
  ModelStore(paths_, log_).saveDevices(DevicesFile("not a url", "rr-aaaaaaaaaaaaaaaaaaaaaaaa"));
  checkIn(Trigger::launch);
  checkIn(Trigger::timer);
  EXPECT_EQ(relaysMade_, 0);
  EXPECT_TRUE(log_.has("info", "relay not reachable"));
  EXPECT_EQ(linesWith("check-in (launch): relay not reachable"), 1u);
}

TEST_F(AgentTest, ATimerCheckInAtTheScheduledWakeIsLoggedAndReports) {
  pairPhones(1);
  checkIn(Trigger::launch);
  const auto wake = agent().state().scheduledWake;
  ASSERT_EQ(wake, start + 100);  // 22:15:00, the first quarter more than 90 s after 22:13:20
  const std::size_t heard = receivedBy(0).size();

  // The wake the sleeping machine was woken for has come: the phones hear from it although
  // nothing changed, and the line says so.
  now_ = *wake;
  checkIn(Trigger::timer);
  EXPECT_EQ(linesWith("check-in (scheduled): relay read, 0 request(s), next at 22:30"), 1u);
  const auto received = receivedBy(0);
  ASSERT_EQ(received.size(), heard + 1);
  EXPECT_EQ(std::get<MacState>(received.back().payload).state, PowerState::asleep);
  EXPECT_EQ(agent().state().scheduledWake, *wake + 900);
}

// A pass that throws (here its health check) is logged, ends its check-in hold and resumes
// whoever waits on it; the merged pass and every later trigger still run.
TEST_F(AgentTest, ACheckInThatThrowsIsLoggedAndTheCycleGoesOn) {
  pairPhones(1);
  checkIn(Trigger::launch);
  hooks_.healthGate = std::make_shared<asio::steady_timer>(io_, asio::steady_timer::time_point::max());
  hooks_.healthError = std::make_exception_ptr(std::runtime_error("out of file descriptors"));
  auto failing = begin(agent().checkIn(Trigger::app));
  auto waiting = begin(agent().checkIn(Trigger::systemWake));
  const std::size_t passes = power_.count("beginCheckIn");
  release(hooks_.healthGate);

  ASSERT_TRUE(finished(failing));
  ASSERT_TRUE(finished(waiting));
  EXPECT_NO_THROW(failing.get());
  EXPECT_NO_THROW(waiting.get());
  EXPECT_TRUE(log_.has("error", "check-in failed (out of file descriptors)"));
  EXPECT_EQ(power_.count("endCheckIn"), power_.count("beginCheckIn"));
  EXPECT_EQ(power_.count("beginCheckIn"), passes + 1);  // the merged pass
  EXPECT_EQ(linesWith("check-in (app): relay read"), 1u);

  now_ += 30;
  auto later = begin(agent().checkIn(Trigger::timer));
  io_.run_for(std::chrono::seconds(5));
  ASSERT_TRUE(finished(later));
  EXPECT_EQ(power_.count("beginCheckIn"), passes + 2);
}

namespace Q = AppRequests;

// Where a check-in waits on the relay when an app request lands.
enum class HeldAt { health, poll };

// An app request that lands while a check-in is held, after a "check in now" that merges one
// more pass, and what must be true once everything has run.
struct Landing {
  const char* name;
  AppRequest request;
  CommandKind phoneSent;  // what phone 0 sent, 30 s before the held pass began
  bool halts;             // halted afterwards, and no pass runs after the request
  bool wakeRuns;
  int newDrops;
  std::optional<std::string> cursor;  // lastNtfyID afterwards
  bool phone0Hears;
  bool phone1Hears;
};

const Landing landings[] = {
    // Nothing of the held pass may go on: no read taken in, no Wake, no hold, no schedule, no send.
    {"Undo", AppRequest{Q::UndoSetup{}}, CommandKind::wake, true, false, 0, "ev1", false, false},
    // The held pass's relay points at the old topic: nothing it answers is counted or kept.
    {"PairingReset", AppRequest{Q::ResetPairing{}}, CommandKind::wake, false, false, 0, std::nullopt, false,
     false},
    // The removed phone's Wake drops as from an unknown key; only the other phone hears.
    {"DeviceRemoved", AppRequest{Q::RemoveDevice{"phone10000"}}, CommandKind::wake, false, false, 1, "ev2", false,
     true},
    // An end the phone sent before the computer's Wake leaves that Wake running.
    {"WakeFromTheComputer", AppRequest{Q::WakeNow{2}}, CommandKind::end, false, true, 0, "ev2", true, true},
};

class HeldCheckInTest : public AgentTest,
                        public ::testing::WithParamInterface<std::tuple<HeldAt, Landing>> {};

TEST_P(HeldCheckInTest, TheRequestIsHonouredWhenThePassResumes) {
  const auto& [held, c] = GetParam();
  pairPhones(2);
  fake_.queuePoll({event("not an envelope")});
  checkIn(Trigger::launch);
  ASSERT_EQ(agent().state().lastNtfyID, "ev1");
  hooks_.servedTopic = agent().devices().topic;  // any other topic is new and empty

  now_ += 60;
  fake_.queuePoll({event(seal(Command{c.phoneSent, 1, "p1", now_ - 30, "Phone 0"}))});
  auto& gate = held == HeldAt::health ? hooks_.healthGate : gate_;
  gate = std::make_shared<asio::steady_timer>(io_, asio::steady_timer::time_point::max());
  auto pass = begin(agent().checkIn(Trigger::app));
  ASSERT_EQ(pass.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  ASSERT_EQ(hooks_.polledTopics.size(), held == HeldAt::poll ? 2u : 1u);

  const std::size_t heard0 = receivedBy(0).size();
  const std::size_t heard1 = receivedBy(1).size();
  const std::size_t polls = hooks_.polledTopics.size();
  const std::int64_t drops = agent().state().drops.invalid;
  requestNow(AppRequest{Q::CheckInNow{}});
  requestNow(c.request);
  const std::size_t calls = power_.calls.size();
  const std::size_t lines = log_.lines().size();
  release(gate);
  ASSERT_TRUE(finished(pass));
  pass.get();

  const auto callsSince = [&](const std::string& prefix) {
    return std::count_if(power_.calls.begin() + calls, power_.calls.end(),
                         [&](const std::string& call) { return call.starts_with(prefix); });
  };
  EXPECT_EQ(agent().halted(), c.halts);
  EXPECT_EQ(callsSince("beginCheckIn"), c.halts ? 0 : 1);
  if (c.halts) {
    EXPECT_EQ(callsSince("scheduleWake"), 0);
    EXPECT_EQ(callsSince("holdAwake"), 0);
    EXPECT_EQ(callsSince("declareUserActivity"), 0);
    EXPECT_EQ(hooks_.polledTopics.size(), polls);
    for (std::size_t i = lines; i < log_.lines().size(); ++i) {
      EXPECT_EQ(log_.lines()[i].message.find("check-in ("), std::string::npos) << log_.lines()[i].message;
    }
  }
  ASSERT_FALSE(power_.calls.empty());
  EXPECT_EQ(power_.calls.back(), "endCheckIn");
  EXPECT_EQ(Engine::isAwake(agent().state(), now_), c.wakeRuns);
  EXPECT_EQ(agent().state().drops.invalid - drops, c.newDrops);
  EXPECT_EQ(agent().state().lastNtfyID, c.cursor);
  for (std::size_t i = polls; i < hooks_.polledTopics.size(); ++i) {
    EXPECT_EQ(hooks_.polledTopics[i], agent().devices().topic) << "poll " << i;
  }

  const auto received0 = receivedBy(0);
  const auto received1 = receivedBy(1);
  EXPECT_EQ(received0.size() > heard0, c.phone0Hears);
  EXPECT_EQ(received1.size() > heard1, c.phone1Hears);
  if (c.phone1Hears && !received1.empty()) {
    EXPECT_EQ(std::get<MacState>(received1.back().payload).state,
              c.wakeRuns ? PowerState::awake : PowerState::asleep);
  }
}

INSTANTIATE_TEST_SUITE_P(
    WhileWaiting, HeldCheckInTest,
    ::testing::Combine(::testing::Values(HeldAt::health, HeldAt::poll), ::testing::ValuesIn(landings)),
    [](const ::testing::TestParamInfo<std::tuple<HeldAt, Landing>>& info) {
      return std::string(std::get<0>(info.param) == HeldAt::health ? "Health" : "Poll") + "_" +
             std::get<1>(info.param).name;
    });

// An undo while an acknowledgement is on its way: that send finishes, but no report follows
// and the merged pass does not run.
TEST_F(AgentTest, AnUndoDuringASendStopsThePass) {
  pairPhones(2);
  checkIn(Trigger::launch);
  now_ += 60;
  fake_.queuePoll({event(seal(Command{CommandKind::status, std::nullopt, "s1", now_, "Phone 0"}))});
  hooks_.publishGate = std::make_shared<asio::steady_timer>(io_, asio::steady_timer::time_point::max());
  const std::size_t heard0 = receivedBy(0).size();
  const std::size_t heard1 = receivedBy(1).size();
  auto pass = begin(agent().checkIn(Trigger::timer));
  ASSERT_EQ(pass.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

  requestNow(AppRequest{Q::CheckInNow{}});
  requestNow(AppRequest{Q::UndoSetup{}});
  const std::size_t passes = power_.count("beginCheckIn");
  release(hooks_.publishGate);
  ASSERT_TRUE(finished(pass));

  const auto received0 = receivedBy(0);
  ASSERT_EQ(received0.size(), heard0 + 1);
  EXPECT_TRUE(std::holds_alternative<Ack>(received0.back().payload));
  EXPECT_EQ(receivedBy(1).size(), heard1);
  EXPECT_EQ(power_.count("beginCheckIn"), passes);
  EXPECT_EQ(power_.calls.back(), "endCheckIn");
  EXPECT_TRUE(agent().halted());
}

// The simulated clock may sit at either end of the int64 range; times past it saturate
// instead of wrapping round to the far other end.
struct ClockEnd {
  const char* name;
  std::int64_t now;
  std::int64_t since;  // the first poll's start window
  std::optional<std::int64_t> scheduled;  // the wake armed at launch; absent: the next quarter
  std::int64_t awakeUntil;  // after a Wake of 2 hours from the computer
};

constexpr std::int64_t highest = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();

const ClockEnd clockEnds[] = {
    {"Highest", highest - 60, highest - 60 - 2100, highest, highest},
    {"Lowest", lowest, lowest, std::nullopt, lowest + 7200},
};

class ClockEndTest : public AgentTest, public ::testing::WithParamInterface<ClockEnd> {};

TEST_P(ClockEndTest, TimesSaturate) {
  const ClockEnd& c = GetParam();
  now_ = c.now;
  pairPhones(1);
  checkIn(Trigger::launch);
  ASSERT_FALSE(fake_.polls().empty());
  EXPECT_EQ(fake_.polls()[0], NtfySince::unix(c.since));
  const auto wake = agent().state().scheduledWake;
  ASSERT_TRUE(wake.has_value());
  if (c.scheduled) {
    EXPECT_EQ(*wake, *c.scheduled);
  } else {
    const __int128 ahead = static_cast<__int128>(*wake) - c.now;
    EXPECT_TRUE(ahead > 90 && ahead <= 90 + 900) << *wake;
  }

  request(AppRequest{Q::WakeNow{2}});
  EXPECT_EQ(agent().state().awakeUntil, c.awakeUntil);
  EXPECT_TRUE(Engine::isAwake(agent().state(), now_));
}

INSTANTIATE_TEST_SUITE_P(AtTheEnds, ClockEndTest, ::testing::ValuesIn(clockEnds),
                         [](const ::testing::TestParamInfo<ClockEnd>& info) {
                           return std::string(info.param.name);
                         });

TEST(AgentDescribe, Texts) {
  AgentStateFile state;
  state.awakeUntil = start + 5 * 3600;
  const Message wake(Command{CommandKind::wake, 5, "w", start, "Anna"});
  EXPECT_EQ(Agent::describe(Inbound{"k1", "Anna", wake}, state, utc),
            "Wake 5 h from Anna (k1): awake until 03:13");
  EXPECT_EQ(Agent::describe(Inbound{"k1", "\x01", Message(Command{CommandKind::wake, std::nullopt, "w", start, ""})},
                            AgentStateFile(), utc),
            "Wake (default hours) from k1: not applied");
  EXPECT_EQ(Agent::describe(Inbound{"k1", "Anna", Message(ConfigChange{std::nullopt, "c", start, "Anna"})}, state, utc),
            "config from Anna (k1): check-in unchanged");
  EXPECT_EQ(Agent::describe(Inbound{"k1", "Anna", Message(ConfigChange{20, "c", start, "Anna"})}, state, utc),
            "config from Anna (k1): check-in 20 min");
  EXPECT_EQ(Agent::describe(Inbound{"k1", "Anna", Message(Command{CommandKind::end, std::nullopt, "e", start, "Anna"})}, state, utc),
            "End Wake from Anna (k1)");
}

TEST(AgentErrors, ShortDescriptions) {
  EXPECT_EQ(shortDescription(std::make_exception_ptr(NtfyError::http(429))), "HTTP 429");
  EXPECT_EQ(shortDescription(std::make_exception_ptr(TransportError(TransportError::Kind::timedOut, "x"))),
            "network -1001");
  EXPECT_EQ(shortDescription(std::make_exception_ptr(std::runtime_error("x"))), "error");
}

}  // namespace
}  // namespace torvo
