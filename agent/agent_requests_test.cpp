#include <gtest/gtest.h>

#include <limits>

#include "agent/agent.h"
#include "tests/agent_fixture.h"

namespace torvo {
namespace {

using test::AgentTest;
using test::start;
namespace Q = AppRequests;
namespace R = AppResponses;

using AgentRequestsTest = AgentTest;

template <class T>
const T& as(const AppResponse& response) {
  const T* value = std::get_if<T>(&response.value);
  EXPECT_NE(value, nullptr) << response.toJSON().dump();
  static const T empty{};
  return value ? *value : empty;
}

TEST_F(AgentRequestsTest, AddDevicePrunesThenPairs) {
  pairPhones(8);
  ASSERT_TRUE(std::holds_alternative<R::Pairing>(request(AppRequest{Q::AddDevice{}}).value));
  now_ += 301;  // the code expires unused
  const auto pairing = as<R::Pairing>(request(AppRequest{Q::AddDevice{}}));
  EXPECT_EQ(pairing.expiresAt, now_ + 300);
  EXPECT_EQ(agent().devices().devices.size(), 9u);
  EXPECT_EQ(agent().devices().devices.back().kid, pairing.kid);
  EXPECT_EQ(agent().devices().devices.back().name, "New device");
  const auto parsed = Pairing::fromString(pairing.url);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->keyID, pairing.kid);
  EXPECT_EQ(parsed->macName, "Studio");
  EXPECT_EQ(parsed->keyData, agent().devices().devices.back().keyData);
  EXPECT_EQ(agent().nextPollDelay(now_), 2);
  EXPECT_TRUE(log_.has("info", "new pairing code " + pairing.kid +
                                   " (expires in 5 min; checking every 2 s until then)"));
}

TEST_F(AgentRequestsTest, AddDeviceRefusals) {
  pairPhones(10);
  EXPECT_EQ(as<R::Refused>(request(AppRequest{Q::AddDevice{}})).text,
            "You can pair up to 10 phones. Remove one first.");
  EXPECT_EQ(agent().devices().devices.size(), 10u);

  request(AppRequest{Q::ResetPairing{}});
  test::TempDir home;
  agent_.reset();
  paths_ = AgentPaths::simulate(home.path());
  FileStore(paths_.ownerUID).ensureDirectory(paths_.dataDir, 0755);
  ModelStore(paths_, log_).saveDevices(DevicesFile("not a url", "rr-aaaaaaaaaaaaaaaaaaaaaaaa"));
  EXPECT_EQ(as<R::Refused>(request(AppRequest{Q::AddDevice{}})).text, "The relay address isn't valid.");
}

TEST_F(AgentRequestsTest, CancelAndRemove) {
  pairPhones(1);
  request(AppRequest{Q::CancelPairing{"phone10000"}});  // confirmed: not a pairing code
  EXPECT_EQ(agent().devices().devices.size(), 1u);
  const auto pending = as<R::Pairing>(request(AppRequest{Q::AddDevice{}}));
  request(AppRequest{Q::CancelPairing{pending.kid}});
  EXPECT_TRUE(log_.has("info", "pairing code " + pending.kid + " cancelled"));
  request(AppRequest{Q::RemoveDevice{"phone10000"}});
  EXPECT_TRUE(log_.has("info", "removed device Phone 0 (phone10000)"));
  EXPECT_TRUE(agent().devices().devices.empty());
  EXPECT_TRUE(std::holds_alternative<R::Ok>(request(AppRequest{Q::RemoveDevice{"nobody0001"}}).value));
}

TEST_F(AgentRequestsTest, WakeNowFromTheMacIsHeldAndReported) {
  pairPhones(1);
  checkIn(Trigger::launch);
  const auto before = agent().state().lastPhoneWake;
  const std::pair<std::int64_t, std::int64_t> cases[] = {{0, 1}, {48, 24}, {5, 5}};
  for (const auto& [hours, expected] : cases) {
    request(AppRequest{Q::WakeNow{hours}});
    EXPECT_EQ(agent().state().awakeUntil, now_ + expected * 3600);
    EXPECT_EQ(agent().state().wokenBy, (WakeRecord{"this Mac", now_, std::nullopt}));
  }
  EXPECT_EQ(agent().state().lastPhoneWake, before);
  EXPECT_TRUE(log_.has("info", "holding the Mac awake until 03:13 (Wake from this Mac)"));
  // The kicked check-in told the phone.
  EXPECT_EQ(std::get<MacState>(receivedBy(0).back().payload).state, PowerState::awake);

  request(AppRequest{Q::EndWake{}});
  EXPECT_TRUE(log_.has("info", "End Wake from this Mac"));
  EXPECT_EQ(agent().state().awakeUntil, std::nullopt);
  EXPECT_EQ(power_.calls.back(), "endCheckIn");
  EXPECT_EQ(std::get<MacState>(receivedBy(0).back().payload).state, PowerState::asleep);

  request(AppRequest{Q::EndWake{}});
  EXPECT_TRUE(log_.has("info", "End Wake from this Mac: no Wake to end"));
}

TEST_F(AgentRequestsTest, SetCheckInSnaps) {
  request(AppRequest{Q::SetCheckIn{40}});
  EXPECT_EQ(agent().config().checkInMinutes(), 30);
  EXPECT_TRUE(log_.has("info", "check-in interval now 30 min (on the Mac)"));
  EXPECT_EQ(agent().state().scheduledEvery, 30);
}

TEST_F(AgentRequestsTest, UndoHaltsUntilAChangeIsAsked) {
  settings_.report = "AC Power:\n womp 0\n";
  request(AppRequest{Q::WakeNow{2}});
  const auto undone = as<R::Undone>(request(AppRequest{Q::UndoSetup{}}));
  EXPECT_TRUE(undone.result.restored.empty());
  EXPECT_TRUE(undone.result.failed.empty());
  EXPECT_TRUE(agent().halted());
  EXPECT_EQ(agent().state().awakeUntil, std::nullopt);
  EXPECT_EQ(agent().state().scheduledWake, std::nullopt);
  EXPECT_TRUE(log_.has("info", "undo: restored 0, failed 0"));

  const std::size_t passes = power_.count("beginCheckIn");
  checkIn(Trigger::timer);
  request(AppRequest{Q::GetStatus{}});
  EXPECT_TRUE(agent().halted());
  EXPECT_EQ(power_.count("beginCheckIn"), passes);

  request(AppRequest{Q::CheckInNow{}});
  EXPECT_FALSE(agent().halted());
  EXPECT_TRUE(log_.has("info", "resuming after undo"));
  EXPECT_TRUE(log_.has("info", "check in now (from the menu)"));
  EXPECT_EQ(power_.count("beginCheckIn"), passes + 1);
}

TEST_F(AgentRequestsTest, SetupIsAppliedBackedUpAndUndone) {
  settings_.report = "AC Power:\n womp 0\n autorestart 0\n";
  settings_.failing = {"pmset -a autorestart 1"};
  const auto refused = as<R::Refused>(request(AppRequest{Q::ApplySetup{SetupChoices{true, true, false}}}));
  EXPECT_TRUE(refused.text.starts_with("Couldn't change: ")) << refused.text;
  ASSERT_TRUE(agent().backup().has_value());
  EXPECT_TRUE(std::filesystem::exists(paths_.backup()));

  settings_.failing.clear();
  const auto undone = as<R::Undone>(request(AppRequest{Q::UndoSetup{}}));
  EXPECT_TRUE(undone.result.failed.empty());
  EXPECT_FALSE(undone.result.restored.empty());
  EXPECT_FALSE(agent().backup().has_value());
  EXPECT_FALSE(std::filesystem::exists(paths_.backup()));
}

TEST_F(AgentRequestsTest, StatusAndItsSetupCache) {
  pairPhones(1);
  checkIn(Trigger::launch);
  settings_.report = "AC Power:\n womp 1\n";
  const auto first = as<R::Status>(request(AppRequest{Q::GetStatus{}})).status;
  EXPECT_EQ(first.version, "0.1.0");
  EXPECT_TRUE(first.simulate);
  EXPECT_EQ(first.relayHost, "relay.example");
  EXPECT_EQ(first.relayReachable, true);
  EXPECT_EQ(first.macName, "Studio");
  EXPECT_EQ(first.battery, 80);
  ASSERT_EQ(first.devices.size(), 1u);
  EXPECT_EQ(first.devices[0].kid, "phone10000");
  ASSERT_TRUE(first.setup.has_value());
  EXPECT_EQ(first.setup->wakeForNetwork, true);

  settings_.report = "AC Power:\n womp 0\n";
  now_ += 60;
  EXPECT_EQ(as<R::Status>(request(AppRequest{Q::GetStatus{}})).status.setup->wakeForNetwork, true);
  request(AppRequest{Q::NoteUserChange{UserChange{ScreenLockSetting::seconds(300)}}});
  EXPECT_EQ(as<R::Status>(request(AppRequest{Q::GetStatus{}})).status.setup->wakeForNetwork, false);
}

TEST_F(AgentRequestsTest, LoginItemsAreCachedForFourSeconds) {
  settings_.items = std::vector<LoginItem>{LoginItem{"Zoom"}};
  EXPECT_EQ(as<R::LoginItems>(request(AppRequest{Q::GetLoginItems{}})).items, settings_.items);
  settings_.items = std::nullopt;
  now_ += 4;
  EXPECT_TRUE(as<R::LoginItems>(request(AppRequest{Q::GetLoginItems{}})).items.has_value());
  now_ += 1;
  EXPECT_FALSE(as<R::LoginItems>(request(AppRequest{Q::GetLoginItems{}})).items.has_value());
}

// The simulated clock may sit at the end of the int64 range: a code's expiry saturates, and a
// code stored as paired at the far start of the range counts as long expired, not as open.
TEST_F(AgentRequestsTest, PairingCodesAtTheEndsOfTheClock) {
  constexpr std::int64_t highest = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
  FileStore(paths_.ownerUID).ensureDirectory(paths_.dataDir, 0755);
  ModelStore(paths_, log_).saveDevices(DevicesFile(
      "https://relay.example", "rr-aaaaaaaaaaaaaaaaaaaaaaaa",
      {PairedDevice{"ancient001", Bytes(32, 5), "New device", lowest, std::nullopt}}));
  EXPECT_EQ(agent().nextPollDelay(highest), 30);

  now_ = highest - 60;
  const auto pairing = as<R::Pairing>(request(AppRequest{Q::AddDevice{}}));
  EXPECT_EQ(pairing.expiresAt, highest);
  EXPECT_EQ(agent().devices().devices.size(), 1u);  // the ancient code was pruned
  EXPECT_EQ(agent().nextPollDelay(now_), 2);
}

TEST_F(AgentRequestsTest, ResetPairingForgetsPhonesAndStartsANewTopic) {
  pairPhones(2);
  fake_.queuePoll({event("x")});
  checkIn(Trigger::launch);
  const std::string oldTopic = agent().devices().topic;
  request(AppRequest{Q::ResetPairing{}});
  EXPECT_TRUE(agent().devices().devices.empty());
  EXPECT_NE(agent().devices().topic, oldTopic);
  EXPECT_EQ(agent().state().lastNtfyID, std::nullopt);
  EXPECT_TRUE(log_.has("info", "removed all devices and moved to a new topic"));
  checkIn(Trigger::timer);
  EXPECT_EQ(fake_.polls().back(), NtfySince::unix(now_ - 2100));
}

}  // namespace
}  // namespace torvo
