#include "agent/engine.h"

#include <gtest/gtest.h>

#include <limits>

#include "kit/envelope.h"

namespace torvo {
namespace {

constexpr std::int64_t now = 1'700'000'000;
const Calendar utc{"UTC"};

// Two paired phones (one confirmed, one pending) and a helper that seals messages for them.
class EngineTest : public ::testing::Test {
 protected:
  EngineTest() {
    devices_ = DevicesFile("https://relay.example", "rr-topic",
                           {PairedDevice{"anna000001", Bytes(32, 1), "Anna", now - 86400, now - 60},
                            PairedDevice{"newphone01", Bytes(32, 2), "Phone", now - 10, std::nullopt}});
  }

  static Command command(CommandKind kind, std::string id, std::int64_t ts,
                         std::optional<std::int64_t> hours = std::nullopt) {
    return Command{kind, hours, std::move(id), ts, "Anna's phone"};
  }

  std::string seal(const Message& message, const std::string& kid = "anna000001") {
    const PairedDevice* device = devices_.key(kid);
    const Bytes key = device ? device->keyData : Bytes(32, 9);
    return *Envelope::seal(message, key, kid);
  }

  static NtfyEvent event(std::string text) {
    return NtfyEvent{"ev" + std::to_string(++counter_), now, "message", "rr-topic", std::move(text)};
  }

  std::variant<Engine::Opened, DropReason> open(const std::string& text) {
    return Engine::open(text, devices_, state_.replay, config_, now);
  }

  static std::optional<DropReason> dropOf(const std::variant<Engine::Opened, DropReason>& r) {
    if (const auto* reason = std::get_if<DropReason>(&r)) return *reason;
    return std::nullopt;
  }

  std::vector<Inbound> receive(const std::vector<NtfyEvent>& events) {
    return Engine::receive(events, devices_, state_, config_, now,
                           [this](DropReason r) { drops_.push_back(r); });
  }

  Engine::Handled handle(std::vector<Message> messages, std::string kid = "anna000001") {
    std::vector<Inbound> inbound;
    for (auto& m : messages) inbound.push_back(Inbound{kid, "Anna", std::move(m)});
    return Engine::handle(inbound, config_, state_, now, utc);
  }

  static inline int counter_ = 0;
  DevicesFile devices_;
  AgentStateFile state_;
  AgentConfig config_;
  std::vector<DropReason> drops_;
};

TEST_F(EngineTest, OpenAcceptsAGenuineCommand) {
  const auto result = open(seal(command(CommandKind::status, "m1", now)));
  ASSERT_FALSE(dropOf(result));
  EXPECT_EQ(std::get<Engine::Opened>(result).kid, "anna000001");
}

TEST_F(EngineTest, OpenDropReasons) {
  std::string altered = seal(command(CommandKind::status, "m2", now));
  altered[altered.size() - 3] = altered[altered.size() - 3] == 'A' ? 'B' : 'A';
  MacState report;
  report.id = "r1";
  report.ts = now;
  report.mac = "Mac";
  report.tz = "UTC";
  const Bytes zeros(12, 0);
  const std::span<const std::uint8_t, 12> nonce(zeros.data(), 12);

  struct Case {
    const char* what;
    std::string text;
    DropReason reason;
  };
  const Case cases[] = {
      {"oversized", "rr1.anna000001." + std::string(5000, 'A'), DropReason::tooLarge},
      {"plain words", "hello there", DropReason::notOurs},
      {"bad key id", "rr1.ANNA000001.AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", DropReason::malformed},
      {"removed device", seal(command(CommandKind::status, "m3", now), "gone000001"), DropReason::unknownKey},
      {"altered tag", altered, DropReason::cannotDecrypt},
      {"sealed garbage", *Envelope::seal(bytesOf("not json"), Bytes(32, 1), "anna000001", nonce),
       DropReason::badJSON},
      {"report from a phone", seal(report), DropReason::role},
      {"repeated id", seal(command(CommandKind::status, "m1", now)), DropReason::replay},
      {"too old", seal(command(CommandKind::status, "m4", now - 2101)), DropReason::clock},
      {"too far ahead", seal(command(CommandKind::status, "m5", now + 301)), DropReason::clock},
  };
  ASSERT_FALSE(dropOf(open(seal(command(CommandKind::status, "m1", now)))));
  for (const auto& c : cases) EXPECT_EQ(dropOf(open(c.text)), c.reason) << c.what;

  // The same texts in one poll: each drop counted under its counter, in relay order.
  state_ = AgentStateFile();
  ASSERT_EQ(receive({event(seal(command(CommandKind::status, "m1", now)))}).size(), 1u);
  std::vector<NtfyEvent> events;
  std::vector<DropReason> expected;
  for (const auto& c : cases) {
    events.push_back(event(c.text));
    expected.push_back(c.reason);
  }
  EXPECT_TRUE(receive(events).empty());
  EXPECT_EQ(drops_, expected);
  EXPECT_EQ(state_.drops, (DropCounts{6, 1, 2, 1}));
}

TEST_F(EngineTest, ClockWindowBoundsAreAccepted) {
  EXPECT_FALSE(dropOf(open(seal(command(CommandKind::status, "old", now - 2100)))));
  EXPECT_FALSE(dropOf(open(seal(command(CommandKind::status, "new", now + 300)))));
}

TEST_F(EngineTest, ReceiveCountsDropsSkipsOtherEventsAndRefusesReplays) {
  const std::string genuine = seal(command(CommandKind::status, "dup", now));
  MacState report;
  report.id = "r";
  report.ts = now;
  std::vector<NtfyEvent> events = {event(genuine), event(genuine), event("garbage"),
                                   event(seal(report)),
                                   event(seal(command(CommandKind::status, "late", now - 5000)))};
  events.push_back(NtfyEvent{"k1", now, "keepalive", std::nullopt, std::nullopt});
  events.push_back(NtfyEvent{"o1", now, "open", std::nullopt, std::nullopt});

  const auto inbound = receive(events);
  ASSERT_EQ(inbound.size(), 1u);
  EXPECT_EQ(drops_, (std::vector<DropReason>{DropReason::replay, DropReason::notOurs,
                                             DropReason::role, DropReason::clock}));
  EXPECT_EQ(state_.drops, (DropCounts{1, 1, 1, 1}));
  EXPECT_EQ(devices_.key("anna000001")->lastSeen, now);
}

TEST_F(EngineTest, FirstMessageConfirmsAndNamesAPendingDeviceOnlyOnce) {
  Command first = command(CommandKind::status, "p1", now);
  first.from = "  Bob\u200B's phone\n";
  Command second = command(CommandKind::status, "p2", now);
  second.from = "Renamed";
  const auto inbound = receive({event(seal(first, "newphone01")), event(seal(second, "newphone01"))});
  ASSERT_EQ(inbound.size(), 2u);
  EXPECT_EQ(inbound[0].deviceName, "Bob's phone");
  EXPECT_EQ(inbound[1].deviceName, "Bob's phone");
  EXPECT_EQ(devices_.key("newphone01")->lastSeen, now);

  DevicesFile blank("https://r", "t", {PairedDevice{"blank00001", Bytes(32, 3), "Phone", now, std::nullopt}});
  devices_ = blank;
  Command nameless = command(CommandKind::status, "p3", now);
  nameless.from = "\x01\x02 ";
  EXPECT_EQ(receive({event(seal(nameless, "blank00001"))}).at(0).deviceName, "Phone");
}

TEST_F(EngineTest, ExpiredPairingCodeIsPrunedBeforeOpening) {
  devices_.devices[1].pairedAt = now - 300;
  const auto inbound = receive({event(seal(command(CommandKind::status, "x", now), "newphone01"))});
  EXPECT_TRUE(inbound.empty());
  EXPECT_EQ(drops_, std::vector<DropReason>{DropReason::unknownKey});
  EXPECT_EQ(state_.drops.invalid, 1);
  EXPECT_EQ(devices_.key("newphone01"), nullptr);
}

TEST_F(EngineTest, WakeHoursAreClampedOrDefaulted) {
  const std::pair<std::optional<std::int64_t>, std::int64_t> cases[] = {
      {0, 1}, {30, 24}, {std::nullopt, 3}, {5, 5}};
  for (const auto& [hours, expected] : cases) {
    state_ = AgentStateFile();
    const auto handled = handle({command(CommandKind::wake, "w", now, hours)});
    EXPECT_TRUE(handled.woke);
    EXPECT_EQ(state_.awakeUntil, now + expected * 3600);
    EXPECT_EQ(state_.wokenBy, (WakeRecord{"Anna", now, "anna000001"}));
    EXPECT_EQ(state_.lastPhoneWake, state_.wokenBy);
    ASSERT_EQ(handled.acks.size(), 1u);
    EXPECT_EQ(handled.acks[0].second.note, "Awake until " + Engine::clock(*state_.awakeUntil, utc));
  }
}

// The simulated clock may sit at either end of the int64 range.
constexpr std::int64_t highest = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();

TEST(EngineRules, AWakesEndSaturatesAtTheEndOfTheRange) {
  const struct {
    std::int64_t now, hours, until;
  } cases[] = {
      {highest, 1, highest},        {highest - 3599, 1, highest}, {highest - 3600, 1, highest},
      {highest - 3601, 1, highest - 1}, {highest - 100, 24, highest}, {lowest, 24, lowest + 86400},
  };
  for (const auto& c : cases) {
    AgentStateFile state;
    Engine::wake(state, c.hours, WakeRecord{"this Mac", c.now, std::nullopt}, c.now, c.now);
    EXPECT_EQ(state.awakeUntil, c.until) << c.now << " " << c.hours;
  }
}

// A message sent at the moment of a clock held at the end of the range is inside the window:
// the window's end does not wrap round to the far past.
TEST_F(EngineTest, TheTimeWindowHoldsAtTheEndOfTheRange) {
  const struct {
    std::int64_t now, ts;
    bool accepted;
  } cases[] = {
      {highest, highest, true},       {highest, highest - 2100, true}, {highest, highest - 2101, false},
      {highest - 300, highest, true}, {highest - 301, highest, false},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string id = "edge" + std::to_string(++n);
    const auto result =
        Engine::open(seal(command(CommandKind::status, id, c.ts)), devices_, state_.replay, config_, c.now);
    EXPECT_EQ(!dropOf(result), c.accepted) << c.now << " " << c.ts;
  }
}

TEST_F(EngineTest, AnEndSentBeforeTheWakeDoesNotEndIt) {
  const std::int64_t wakeAt = now - 5;  // handled at now - 5, sent at now - 10
  Engine::wake(state_, 2, WakeRecord{"Anna", wakeAt, "anna000001"}, now - 10, wakeAt);
  auto handled = handle({command(CommandKind::end, "e1", now - 20)});
  EXPECT_FALSE(handled.ended);
  EXPECT_EQ(handled.acks[0].second.note,
            "A newer Wake is running until " + Engine::clock(wakeAt + 7200, utc) + ".");
  EXPECT_TRUE(Engine::isAwake(state_, now));

  handled = handle({command(CommandKind::end, "e2", now - 10)});
  EXPECT_TRUE(handled.ended);
  EXPECT_EQ(handled.acks[0].second.note, std::string(Engine::endedNote));
  EXPECT_EQ(state_.awakeUntil, now);
  EXPECT_FALSE(Engine::isAwake(state_, now));

  handled = handle({command(CommandKind::end, "e3", now)});
  EXPECT_FALSE(handled.ended);
  EXPECT_TRUE(handled.acks[0].second.ok);
  EXPECT_EQ(handled.acks[0].second.note, std::string(Engine::noWakeNote));
}

TEST_F(EngineTest, ConfigChangesSnapAndSayWhatTheyDid) {
  struct Case {
    std::optional<std::int64_t> minutes;
    std::int64_t before;
    bool ok;
    std::string note;
    bool changed;
  };
  const Case cases[] = {
      {20, 30, true, "Checks for a Wake every 15 min (15, 30 or 60)", true},
      {30, 30, true, "Checks for a Wake every 30 min", false},
      {60, 15, true, "Checks for a Wake every 60 min", true},
      {std::nullopt, 15, false, std::string(Engine::oneSettingNote), false},
  };
  for (const auto& c : cases) {
    config_.setCheckInMinutes(c.before);
    const auto handled = handle({ConfigChange{c.minutes, "c", now, "Anna"}});
    ASSERT_EQ(handled.acks.size(), 1u);
    const Ack& ack = handled.acks[0].second;
    EXPECT_EQ(ack.ok, c.ok);
    EXPECT_EQ(ack.note, c.note);
    EXPECT_EQ(handled.configChanged, c.changed);
    EXPECT_EQ(ack.forID, "c");
    EXPECT_EQ(ack.ts, now);
    EXPECT_EQ(ack.id.size(), 36u);
  }
}

TEST_F(EngineTest, AcksGoToTheirSendersInOrder) {
  std::vector<Inbound> inbound = {
      Inbound{"anna000001", "Anna", command(CommandKind::status, "s1", now)},
      Inbound{"bob0000001", "Bob", command(CommandKind::wake, "w1", now, 1)},
  };
  const auto handled = Engine::handle(inbound, config_, state_, now, utc);
  ASSERT_EQ(handled.acks.size(), 2u);
  EXPECT_EQ(handled.acks[0].first, "anna000001");
  EXPECT_EQ(handled.acks[0].second.note, std::nullopt);
  EXPECT_EQ(handled.acks[1].first, "bob0000001");
  EXPECT_NE(handled.acks[0].second.id, handled.acks[1].second.id);
}

TEST(EngineRules, TickClearsAWakeAtItsEnd) {
  AgentStateFile state;
  state.awakeUntil = 1000;
  state.wakeSentAt = 10;
  state.wokenBy = WakeRecord{"this Mac", 5, std::nullopt};
  EXPECT_EQ(Engine::tick(state, 999), std::nullopt);
  EXPECT_TRUE(state.wokenBy.has_value());
  EXPECT_EQ(Engine::tick(state, 1000), 1000);
  EXPECT_EQ(state.awakeUntil, std::nullopt);
  EXPECT_EQ(state.wakeSentAt, std::nullopt);
  EXPECT_EQ(state.wokenBy, std::nullopt);
}

TEST(EngineRules, NeedsReschedule) {
  AgentConfig config;  // 15 minutes
  struct Case {
    std::optional<std::int64_t> scheduled;
    std::optional<std::int64_t> every;
    std::int64_t desired;
    bool expected;
  };
  const Case cases[] = {
      {std::nullopt, 15, 2000, true}, {1000, 15, 2000, true},  // nothing, or passed at now=1000
      {1500, std::nullopt, 2000, true}, {1500, 30, 2000, true}, {1500, 15, 1400, true},
      {1500, 15, 1500, false},         {1500, 15, 2000, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Engine::needsReschedule(c.scheduled, c.every, c.desired, config, 1000), c.expected)
        << c.scheduled.value_or(-1) << " " << c.every.value_or(-1) << " " << c.desired;
  }
}

TEST(EngineRules, ClockUsesTheCalendarsZone) {
  const std::int64_t t = 1'700'000'000;  // 2023-11-14 22:13:20 UTC
  EXPECT_EQ(Engine::clock(t, Calendar{"UTC"}), "22:13");
  EXPECT_EQ(Engine::clock(t, Calendar{"Europe/Berlin"}), "23:13");
  EXPECT_EQ(Engine::clock(t, Calendar{"Asia/Kolkata"}), "03:43");
  EXPECT_EQ(Engine::clock(t, Calendar{"America/Los_Angeles"}), "14:13");
  EXPECT_EQ(Engine::clock(-60, Calendar{"UTC"}), "23:59");
}

// Near the ends of the range the zone's offset must not wrap the local time: two instants
// two hours apart read two hours apart on the clock, in every zone.
TEST(EngineRules, ClockAtTheEndsOfTheRange) {
  const auto minutes = [](const std::string& text) {
    EXPECT_EQ(text.size(), 5u) << text;
    return std::stoi(text.substr(0, 2)) * 60 + std::stoi(text.substr(3, 2));
  };
  for (const char* zone : {"UTC", "Europe/Berlin", "Pacific/Kiritimati", "America/Los_Angeles"}) {
    const Calendar calendar{zone};
    for (const std::int64_t t : {highest, lowest + 7200}) {
      const int late = minutes(Engine::clock(t, calendar));
      const int early = minutes(Engine::clock(t - 7200, calendar));
      EXPECT_EQ((late - early + 1440) % 1440, 120) << zone << " " << t;
    }
  }
}

TEST(EngineRules, StateMessage) {
  AgentConfig config;
  AgentStateFile state;
  state.awakeUntil = now + 60;
  state.scheduledWake = now + 900;
  const MacFacts facts{80, true, true, "  Studio\u200B Mac ", "Europe/Berlin"};
  MacState report = Engine::stateMessage(config, state, facts, now);
  EXPECT_EQ(report.state, PowerState::awake);
  EXPECT_EQ(report.awakeUntil, now + 60);
  EXPECT_EQ(report.lastCheckIn, now);
  EXPECT_EQ(report.nextCheckIn, now + 900);
  EXPECT_EQ(report.mac, "Studio Mac");
  EXPECT_EQ(report.tz, "Europe/Berlin");
  EXPECT_EQ(report.battery, 80);
  EXPECT_EQ(report.ts, now);

  state.lastCheckIn = now - 30;
  report = Engine::stateMessage(config, state, MacFacts{std::nullopt, false, false, "", "UTC"}, now + 60);
  EXPECT_EQ(report.state, PowerState::asleep);
  EXPECT_EQ(report.awakeUntil, std::nullopt);
  EXPECT_EQ(report.lastCheckIn, now - 30);
  EXPECT_EQ(report.mac, "Mac");
}

}  // namespace
}  // namespace torvo
