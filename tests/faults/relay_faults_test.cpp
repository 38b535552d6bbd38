// The agent in front of a relay that fails in every way a network service can: refused
// connections, 429 and 500 answers, bytes that are not HTTP, garbage and oversized bodies,
// answers cut off in the middle, and answers that never come in time. After each fault the
// check-in has run to its end, the app socket answers, "state.json" is whole, nothing of the
// failed read was taken in, and once the relay behaves again the phone's command is read and
// answered.
#include <algorithm>
#include <map>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/faults/live_agent.h"
#include "tests/faults/misbehaving_relay.h"

namespace torvo {
namespace {

using test::MisbehavingRelay;
using Route = MisbehavingRelay::Route;
using Fault = MisbehavingRelay::Fault;

class FaultRelay : public ::testing::Test {
 protected:
  // "state.json" as the agent left it, decoded; fails the test when it is not whole.
  AgentStateFile stateOnDisk() {
    const auto bytes = FileStore(agent_.paths().ownerUID).read(agent_.paths().state());
    EXPECT_TRUE(bytes.has_value());
    const std::string text = bytes.value_or("");
    const auto json = nlohmann::json::parse(text, nullptr, false);
    EXPECT_FALSE(json.is_discarded()) << text;
    auto state = AgentStateFile::fromJSON(json);
    EXPECT_TRUE(state.has_value()) << text;
    return state ? *state : AgentStateFile();
  }

  std::optional<std::string> lastNtfyID() {
    return agent_.read([](Agent& agent) { return agent.state().lastNtfyID; });
  }
  std::optional<std::int64_t> awakeUntil() {
    return agent_.read([](Agent& agent) { return agent.state().awakeUntil; });
  }

  // A good check-in reads the phone's latest Wake, applies it and reports to the phone.
  void expectGoodRelayWorks() {
    relay_.clearFaults();
    relay_.setDown(false);
    const auto reportsBefore = phone_.reports();
    phone_.sendWake(++hours_);
    ASSERT_TRUE(agent_.checkIn(Trigger::app));
    const auto until = awakeUntil();
    ASSERT_TRUE(until.has_value());
    EXPECT_GT(*until, NtfyRelay::systemNow() + (hours_ - 1) * 3600);
    EXPECT_GT(phone_.reports(), reportsBefore);
    EXPECT_EQ(stateOnDisk().awakeUntil, until);
  }

  MisbehavingRelay relay_;
  test::LiveAgent agent_{relay_.url()};
  test::TestPhone phone_{relay_.upstreamURL()};
  std::int64_t hours_ = 0;
};

// Faults on the way in: the check-in cannot read the relay, takes nothing in, and goes on.
TEST_F(FaultRelay, AFailedReadTakesNothingInAndTheNextGoodReadWorks) {
  expectGoodRelayWorks();

  std::string garbage = std::string("\x00\xff\xfe not json\n{\"id\":\"x\"}\n[1,2,3]\n", 30);
  garbage += std::string(200000, '{') + "\n\xc3\x28\xa0\xa1\n";
  std::string garbageLines;
  for (int i = 0; i < 20; ++i) garbageLines += garbage;
  std::string oversizedChunks;
  for (int i = 0; i < 10; ++i) oversizedChunks += "100000\r\n" + std::string(0x100000, 'y') + "\r\n";
  // One whole event line in a chunked body that never ends.
  const std::string line =
      R"({"id":"abcdefabcdef","time":1,"event":"message","message":"x"})" + std::string("\n");
  std::ostringstream unfinished;
  unfinished << "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" << std::hex << line.size()
             << "\r\n" << line << "\r\n";

  struct Case {
    std::string name;
    bool down;
    std::map<Route, Fault> faults;
    std::string logged;  // the start of the relay's error or of the check-in line
  };
  const std::vector<Case> cases = {
      {"connection refused", true, {}, "check-in (app): relay not reachable"},
      {"429 everywhere",
       false,
       {{Route::health, {MisbehavingRelay::http(429, "slow down", {"Retry-After: 3600"})}},
        {Route::poll, {MisbehavingRelay::http(429)}}},
       "check-in (app): relay not reachable"},
      {"500 on the poll", false, {{Route::poll, {MisbehavingRelay::http(500, "oops")}}}, "poll failed (HTTP 500)"},
      {"429 on the poll", false, {{Route::poll, {MisbehavingRelay::http(429)}}}, "poll failed (HTTP 429)"},
      {"not HTTP", false, {{Route::poll, {std::string("SSH-2.0-OpenSSH_9\r\n\x01\x02\x03", 22)}}}, "poll failed (network "},
      {"empty answer", false, {{Route::poll, {.cutAfter = 0}}}, "poll failed (network "},
      {"oversized body", false, {{Route::poll, {MisbehavingRelay::http(200, std::string(9 << 20, 'x'))}}}, "poll failed (network -1103)"},
      {"oversized chunked body",
       false,
       {{Route::poll, {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + oversizedChunks + "0\r\n\r\n"}}},
       "poll failed (network -1103)"},
      {"body cut within its last line", false, {{Route::poll, {.dropLast = 20}}}, "poll failed (network "},
      {"chunked body that never ends", false, {{Route::poll, {unfinished.str()}}}, "poll failed (network "},
      {"garbage lines", false, {{Route::poll, {MisbehavingRelay::http(200, garbageLines)}}}, "check-in (app): relay read, 0 request(s)"},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto cursor = lastNtfyID();
    const auto until = awakeUntil();
    // A status request and a Wake wait in the relay while the fault lasts.
    phone_.send(Command{CommandKind::status, std::nullopt, "status-" + std::to_string(hours_),
                        static_cast<std::int64_t>(NtfyRelay::systemNow()), "Phone"});
    phone_.sendWake(++hours_);
    relay_.setDown(c.down);
    for (const auto& [route, fault] : c.faults) relay_.setFault(route, fault);

    const std::size_t linesBefore = agent_.log().lines().size();
    ASSERT_TRUE(agent_.checkIn(Trigger::app));
    EXPECT_TRUE(agent_.answersStatus());
    const auto lines = agent_.log().lines();
    EXPECT_TRUE(std::any_of(lines.begin() + static_cast<std::ptrdiff_t>(linesBefore), lines.end(),
                            [&](const auto& line) { return line.message.starts_with(c.logged); }))
        << c.logged;
    EXPECT_EQ(lastNtfyID(), cursor);
    EXPECT_EQ(awakeUntil(), until);
    EXPECT_EQ(stateOnDisk().lastNtfyID, cursor);

    expectGoodRelayWorks();
  }
}

// A relay that fails every publish: the read is kept and the phone's end of the Wake applied;
// the report the phones missed is sent by the next timer check-in that reaches a working relay
// (what they last heard is no longer the computer's state).
TEST_F(FaultRelay, FailedSendsAreLoggedAndTheReportFollowsLater) {
  expectGoodRelayWorks();
  phone_.send(Command{CommandKind::end, std::nullopt, "end-1",
                      static_cast<std::int64_t>(NtfyRelay::systemNow()), "Phone"});
  relay_.setFault(Route::publish, Fault{MisbehavingRelay::http(500)});
  const auto reportsBefore = phone_.reports();
  ASSERT_TRUE(agent_.checkIn(Trigger::app));
  EXPECT_TRUE(agent_.log().has("error", "couldn't send ack to Phone (phone00001)"));
  EXPECT_TRUE(agent_.log().has("error", "couldn't send state to Phone (phone00001)"));
  EXPECT_LE(awakeUntil().value_or(0), NtfyRelay::systemNow());
  EXPECT_EQ(stateOnDisk().lastReportedState, PowerState::awake);
  EXPECT_TRUE(agent_.answersStatus());

  relay_.clearFaults();
  ASSERT_TRUE(agent_.checkIn(Trigger::timer));
  EXPECT_GT(phone_.reports(), reportsBefore);
  EXPECT_EQ(stateOnDisk().lastReportedState, PowerState::asleep);
}

// A poll answer that never comes: the request's own time limit ends it, the check-in goes on,
// and the app is served the whole time.
TEST_F(FaultRelay, ASilentPollTimesOutWhileTheAppIsServed) {
  expectGoodRelayWorks();
  relay_.setFault(Route::poll, Fault{.delaySeconds = 60});
  auto checkIn = agent_.startCheckIn(Trigger::app);
  int answered = 0;
  while (checkIn.wait_for(std::chrono::seconds(1)) != std::future_status::ready && answered < 100) {
    EXPECT_TRUE(agent_.answersStatus());
    ++answered;
  }
  ASSERT_EQ(checkIn.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_GT(answered, 0);
  EXPECT_EQ(relay_.abandoned(), 1);
  EXPECT_TRUE(agent_.log().has("error", "poll failed (network -1001)"));
  expectGoodRelayWorks();
}

// A health check that is never answered: the attempt gives up at its own limit, the check-in
// goes on without the relay, and the app is served meanwhile.
TEST_F(FaultRelay, ASilentHealthCheckGivesUpAndTheCheckInGoesOn) {
  relay_.setFault(Route::health, Fault{.delaySeconds = 60});
  auto checkIn = agent_.startCheckIn(Trigger::launch);
  while (checkIn.wait_for(std::chrono::seconds(1)) != std::future_status::ready &&
         relay_.abandoned() == 0) {
    EXPECT_TRUE(agent_.answersStatus());
  }
  ASSERT_EQ(checkIn.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(relay_.abandoned(), 1);
  EXPECT_EQ(relay_.requests(Route::poll), 0);
  EXPECT_TRUE(agent_.log().has("info", "check-in (launch): relay not reachable, next at " +
                                           Engine::clock(*stateOnDisk().scheduledWake, Calendar{"UTC"})));
  expectGoodRelayWorks();
}

// A relay that takes every publish but never answers: the send gives up at its limit, the
// check-in finishes, and the report the phone never got is sent by the next timer check-in
// once the relay answers again.
TEST_F(FaultRelay, ASilentPublishGivesUpAndTheCheckInFinishes) {
  relay_.setFault(Route::publish, Fault{.delaySeconds = 60});
  auto checkIn = agent_.startCheckIn(Trigger::launch);
  while (checkIn.wait_for(std::chrono::seconds(1)) != std::future_status::ready &&
         relay_.abandoned() == 0) {
    EXPECT_TRUE(agent_.answersStatus());
  }
  ASSERT_EQ(checkIn.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_TRUE(agent_.log().has("error", "couldn't send state to Phone (phone00001)"));
  EXPECT_EQ(relay_.abandoned(), 1);
  EXPECT_EQ(stateOnDisk().lastReportedState, std::nullopt);
  EXPECT_EQ(phone_.reports(), 0u);

  relay_.clearFaults();
  ASSERT_TRUE(agent_.checkIn(Trigger::timer));
  EXPECT_EQ(phone_.reports(), 1u);
  EXPECT_EQ(stateOnDisk().lastReportedState, PowerState::asleep);
}

// The relay names its events; an event whose name is larger than any data file may be must not
// make the agent write a state file it refuses to read at its next start, nor stop its reads.
TEST_F(FaultRelay, AHugeEventIdentifierNeitherBloatsTheStateNorStopsTheReads) {
  expectGoodRelayWorks();
  const std::string hugeID(1200 * 1024, 'a');
  relay_.setFault(Route::poll, Fault{MisbehavingRelay::http(
                                   200, R"({"id":")" + hugeID + R"(","time":1,"event":"message","message":"x"})" + "\n")});
  ASSERT_TRUE(agent_.checkIn(Trigger::app));
  EXPECT_NO_THROW(stateOnDisk());
  expectGoodRelayWorks();
  EXPECT_LE(test::readFile(agent_.paths().state()).size(), FileStore::maxFileBytes);
}

}  // namespace
}  // namespace torvo
