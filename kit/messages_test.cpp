#include "kit/messages.h"

#include <gtest/gtest.h>

namespace torvo {
namespace {

std::string repeat(std::string_view piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += piece;
  return out;
}

// A multi-code-point character: "e" and a combining acute accent (one user-perceived character,
// three bytes), and a family emoji joined with zero-width joiners (one character, 18 bytes).
const std::string accented = "e\xCC\x81";
const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";

MacState sampleState() {
  MacState s;
  s.state = PowerState::awake;
  s.awakeUntil = 1700003600;
  s.battery = 80;
  s.charging = true;
  s.onCharger = true;
  s.lastCheckIn = 1700000000;
  s.nextCheckIn = 1700000900;
  s.mac = "Küche/Mac";
  s.tz = "Europe/Berlin";
  s.config = AgentConfig(30, 5);
  s.id = "0b7e3c1e-2f47-4b8a-9d51-3c2a1e5f6a7b";
  s.ts = 1700000001;
  return s;
}

TEST(MessageEncodingTest, ExactTextPerType) {
  const struct {
    Message message;
    std::string text;
  } cases[] = {
      {Command{CommandKind::wake, 4, "w1", 10, "Ann's phone"},
       R"({"from":"Ann's phone","hours":4,"id":"w1","ts":10,"type":"wake","v":2})"},
      {Command{CommandKind::wake, std::nullopt, "w2", 10, ""}, R"({"from":"","id":"w2","ts":10,"type":"wake","v":2})"},
      {Command{CommandKind::status, 5, "s1", 11, "p"}, R"({"from":"p","id":"s1","ts":11,"type":"status","v":2})"},
      {Command{CommandKind::end, std::nullopt, "e1", 12, "p"}, R"({"from":"p","id":"e1","ts":12,"type":"end","v":2})"},
      {ConfigChange{30, "c1", 13, "p"}, R"({"checkIn":30,"from":"p","id":"c1","ts":13,"type":"config","v":2})"},
      {ConfigChange{std::nullopt, "c2", 13, "p"}, R"({"from":"p","id":"c2","ts":13,"type":"config","v":2})"},
      {Ack{"w1", true, "Awake until 14:00", "a1", 14},
       R"({"for":"w1","id":"a1","note":"Awake until 14:00","ok":true,"ts":14,"type":"ack","v":2})"},
      {Ack{"w1", false, std::nullopt, "a2", 14}, R"({"for":"w1","id":"a2","ok":false,"ts":14,"type":"ack","v":2})"},
      {sampleState(),
       R"({"awakeUntil":1700003600,"battery":80,"charging":true,"config":{"awakeHoursDefault":5,"checkIn":30},)"
       R"("id":"0b7e3c1e-2f47-4b8a-9d51-3c2a1e5f6a7b","lastCheckIn":1700000000,"mac":"Küche/Mac",)"
       R"("nextCheckIn":1700000900,"onCharger":true,"state":"awake","ts":1700000001,"type":"state",)"
       R"("tz":"Europe/Berlin","v":2})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.message.jsonText(), c.text);
    const Bytes data = c.message.jsonData();
    EXPECT_EQ(std::string(data.begin(), data.end()), c.text);
  }
}

TEST(MessageEncodingTest, StateWritesAbsentOptionalsAsNull) {
  MacState s = sampleState();
  s.awakeUntil.reset();
  s.battery.reset();
  s.nextCheckIn.reset();
  const std::string text = Message(s).jsonText();
  EXPECT_NE(text.find(R"("awakeUntil":null,"battery":null,)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("nextCheckIn":null,)"), std::string::npos) << text;
}

TEST(MessageDecodingTest, RoundTripsEveryType) {
  const Message messages[] = {
      Command{CommandKind::wake, 6, "id-" + family, 100, accented + " phone"},
      Command{CommandKind::end, std::nullopt, "x", 1, ""},
      ConfigChange{60, "c", 5, "p"},
      sampleState(),
      Ack{"w", true, repeat(accented, 200), "a", 7},
  };
  for (const auto& m : messages) {
    const auto decoded = Message::decode(m.jsonText());
    ASSERT_TRUE(decoded.has_value()) << m.jsonText();
    EXPECT_EQ(*decoded, m);
  }
}

TEST(MessageDecodingTest, StatusDropsHoursAndDefaultsApply) {
  const auto status = Message::decode(R"({"v":2,"type":"status","id":"s","ts":5,"hours":5,"from":"p"})");
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(std::get<Command>(status->payload).hours, std::nullopt);
  EXPECT_EQ(status->jsonText(), R"({"from":"p","id":"s","ts":5,"type":"status","v":2})");

  const auto state = Message::decode(
      R"({"v":2,"type":"state","id":"s","ts":5,"state":"asleep","lastCheckIn":3,"config":{},"battery":null,"extra":[1]})");
  ASSERT_TRUE(state.has_value());
  const auto& s = std::get<MacState>(state->payload);
  EXPECT_FALSE(s.charging);
  EXPECT_FALSE(s.onCharger);
  EXPECT_EQ(s.mac, "");
  EXPECT_EQ(s.tz, "");
  EXPECT_EQ(s.battery, std::nullopt);
  EXPECT_EQ(s.config, AgentConfig());

  const auto wake = Message::decode(R"({"v":2,"type":"wake","id":"w","ts":5,"hours":null})");
  ASSERT_TRUE(wake.has_value());
  EXPECT_EQ(std::get<Command>(wake->payload).hours, std::nullopt);
  EXPECT_EQ(std::get<Command>(wake->payload).from, "");
}

// Builds a record from key-value fragments so each case shows only what it changes.
std::string record(const std::string& type, const std::string& id, const std::string& rest = "",
                   const std::string& ts = "5") {
  return R"({"v":2,"type":")" + type + R"(","id":")" + id + R"(","ts":)" + ts + rest + "}";
}

const std::string stateRest = R"(,"state":"awake","lastCheckIn":1,"config":{})";

TEST(MessageDecodingTest, BoundsAtTheirEdges) {
  const struct {
    std::string json;
    std::optional<std::string> outOfBounds;  // nullopt: accepted
  } cases[] = {
      {record("wake", repeat("a", 64)), std::nullopt},
      {record("wake", repeat(accented, 64)), std::nullopt},
      {record("wake", repeat(family, 64)), std::nullopt},
      {record("wake", repeat("a", 65)), "id"},
      {record("wake", repeat(accented, 65)), "id"},
      {record("wake", ""), "id"},
      // CR LF is one character.
      {record("wake", repeat("a\\r\\n", 32), R"(,"from":")" + repeat("x", 63) + "\\r\\n\""), std::nullopt},
      {record("wake", repeat("a\\r\\n", 32) + "b"), "id"},
      {record("wake", "i", "", "0"), "ts"},
      {record("wake", "i", "", "-3"), "ts"},
      {record("wake", "i", "", "1"), std::nullopt},
      {record("status", "i", R"(,"from":")" + repeat(family, 64) + "\""), std::nullopt},
      {record("end", "i", R"(,"from":")" + repeat("b", 65) + "\""), "from"},
      {record("config", "i", R"(,"from":")" + repeat("b", 65) + "\""), "from"},
      {record("state", "i", stateRest + R"(,"battery":100)"), std::nullopt},
      {record("state", "i", stateRest + R"(,"battery":0)"), std::nullopt},
      {record("state", "i", stateRest + R"(,"battery":101)"), "battery"},
      {record("state", "i", stateRest + R"(,"battery":-1)"), "battery"},
      {record("state", "i", stateRest + R"(,"mac":")" + repeat(accented, 65) + "\""), "mac"},
      {record("state", "i", stateRest + R"(,"tz":")" + repeat("z", 65) + "\""), "tz"},
      {record("ack", "i", R"(,"for":"w","ok":true,"note":")" + repeat("n", 200) + "\""), std::nullopt},
      {record("ack", "i", R"(,"for":"w","ok":true,"note":")" + repeat("n", 201) + "\""), "note"},
      {record("ack", "i", R"(,"for":"","ok":true)"), "for"},
      {record("ack", "i", R"(,"for":")" + repeat("f", 65) + R"(","ok":true)"), "for"},
  };
  for (const auto& c : cases) {
    const auto decoded = Message::decode(c.json);
    if (!c.outOfBounds) {
      EXPECT_TRUE(decoded.has_value()) << c.json;
      continue;
    }
    ASSERT_FALSE(decoded.has_value()) << c.json;
    EXPECT_EQ(decoded.error(), MessageDecodeError(MessageError::outOfBounds(*c.outOfBounds))) << c.json;
  }
}

TEST(MessageDecodingTest, ProtocolRefusalsAndTheirOrder) {
  const struct {
    std::string json;
    MessageError error;
  } cases[] = {
      {R"({"v":1,"type":"wake","id":"i","ts":5})", MessageError::unsupportedVersion(1)},
      {R"({"v":3})", MessageError::unsupportedVersion(3)},
      {record("Wake", "i"), MessageError::unknownType("Wake")},
      {record("reboot", "i"), MessageError::unknownType("reboot")},
      // The type is only judged after "id" and "ts" passed.
      {record("Wake", ""), MessageError::outOfBounds("id")},
      {record("Wake", "i", "", "0"), MessageError::outOfBounds("ts")},
      // "battery" is checked before "state" is read.
      {record("state", "i", R"(,"battery":101,"state":"dozing")"), MessageError::outOfBounds("battery")},
      // "note" is checked before "for".
      {record("ack", "i", R"(,"note":")" + repeat("n", 201) + R"(","for":"")"), MessageError::outOfBounds("note")},
  };
  for (const auto& c : cases) {
    const auto decoded = Message::decode(c.json);
    ASSERT_FALSE(decoded.has_value()) << c.json;
    EXPECT_EQ(decoded.error(), MessageDecodeError(c.error)) << c.json;
  }
}

TEST(MessageDecodingTest, WrongShapesAreJSONDecodingErrors) {
  const std::string cases[] = {
      "",
      "not json",
      "[1,2]",
      R"({"v":2,"type":"wake","id":"i","ts":5)",
      R"({"type":"wake","id":"i","ts":5})",
      R"({"v":"2","type":"wake","id":"i","ts":5})",
      R"({"v":2.5,"type":"wake","id":"i","ts":5})",
      R"({"v":2,"type":"wake","id":"i"})",
      R"({"v":2,"type":"wake","id":"i","ts":1.5})",
      R"({"v":2,"type":"wake","id":"i","ts":18446744073709551615})",
      R"({"v":2,"type":"wake","id":7,"ts":5})",
      R"({"v":2,"type":null,"id":"i","ts":5})",
      record("wake", "i", R"(,"hours":"3")"),
      record("status", "i", R"(,"hours":1.5)"),
      record("wake", "i", R"(,"from":5)"),
      record("config", "i", R"(,"checkIn":"15")"),
      record("state", "i", R"(,"state":"dozing","lastCheckIn":1,"config":{})"),
      record("state", "i", R"(,"state":"Awake","lastCheckIn":1,"config":{})"),
      record("state", "i", R"(,"state":"awake","config":{})"),
      record("state", "i", R"(,"state":"awake","lastCheckIn":1)"),
      record("state", "i", R"(,"state":"awake","lastCheckIn":1,"config":{"checkIn":"x"})"),
      record("state", "i", stateRest + R"(,"charging":1)"),
      record("ack", "i", R"(,"for":"w")"),
      record("ack", "i", R"(,"for":"w","ok":"yes")"),
  };
  for (const auto& json : cases) {
    const auto decoded = Message::decode(json);
    ASSERT_FALSE(decoded.has_value()) << json;
    EXPECT_TRUE(std::holds_alternative<JSONDecodingError>(decoded.error())) << json;
  }
}

TEST(MessageTest, EffectiveHoursClampsToOneThroughTwentyFour) {
  const struct {
    std::optional<std::int64_t> hours;
    std::int64_t defaultHours, expected;
  } cases[] = {
      {std::nullopt, 3, 3}, {5, 3, 5}, {0, 3, 1}, {-7, 3, 1}, {100, 3, 24}, {24, 3, 24}, {std::nullopt, 40, 24},
  };
  for (const auto& c : cases) {
    EXPECT_EQ((Command{CommandKind::wake, c.hours, "i", 1, ""}.effectiveHours(c.defaultHours)), c.expected);
  }
}

TEST(MessageTest, DirectionTypeNameAndCommonFields) {
  const struct {
    Message message;
    bool phoneToMac;
    std::string_view typeName;
  } cases[] = {
      {Command{CommandKind::wake, 1, "a", 1, ""}, true, "wake"},
      {Command{CommandKind::status, {}, "b", 2, ""}, true, "status"},
      {Command{CommandKind::end, {}, "c", 3, ""}, true, "end"},
      {ConfigChange{{}, "d", 4, ""}, true, "config"},
      {sampleState(), false, "state"},
      {Ack{"x", true, {}, "f", 6}, false, "ack"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.message.isPhoneToMac(), c.phoneToMac) << c.typeName;
    EXPECT_EQ(c.message.typeName(), c.typeName);
    const auto decoded = Message::decode(c.message.jsonText());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->typeName(), c.typeName);
    EXPECT_EQ(decoded->id(), c.message.id());
    EXPECT_EQ(decoded->ts(), c.message.ts());
  }
}

}  // namespace
}  // namespace torvo
