#include "kit/ntfy.h"

#include <gtest/gtest.h>

namespace torvo {
namespace {

TEST(NtfyURLs, AppendTopicAndQueriesToTheRelay) {
  struct Case {
    std::string relay;
    std::string topic;
    std::optional<NtfySince> since;
    std::string topicURL, pollURL, streamURL;
  };
  const std::vector<Case> cases = {
      {"https://ntfy.example", "t", NtfySince::unix(500), "https://ntfy.example/t",
       "https://ntfy.example/t/json?poll=1&since=500", "https://ntfy.example/t/json?since=500"},
      {"https://ntfy.example/", "t", NtfySince::all(), "https://ntfy.example/t",
       "https://ntfy.example/t/json?poll=1&since=all", "https://ntfy.example/t/json?since=all"},
      {"http://10.0.0.2:8080/relay/base", "mac-1", NtfySince::id("AbC123xyz789"),
       "http://10.0.0.2:8080/relay/base/mac-1",
       "http://10.0.0.2:8080/relay/base/mac-1/json?poll=1&since=AbC123xyz789",
       "http://10.0.0.2:8080/relay/base/mac-1/json?since=AbC123xyz789"},
      {"http://h/base/", "a b/c", std::nullopt, "http://h/base/a%20b%2Fc", "",
       "http://h/base/a%20b%2Fc/json"},
      {"http://h/x?q=1#f", "t", NtfySince::id("a&b=c d"), "http://h/x/t",
       "http://h/x/t/json?poll=1&since=a%26b%3Dc%20d", "http://h/x/t/json?since=a%26b%3Dc%20d"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.relay + " " + c.topic);
    EXPECT_EQ(Ntfy::topicURL(c.relay, c.topic), c.topicURL);
    if (c.since) {
      EXPECT_EQ(Ntfy::pollURL(c.relay, c.topic, *c.since), c.pollURL);
    }
    EXPECT_EQ(Ntfy::streamURL(c.relay, c.topic, c.since), c.streamURL);
  }
}

TEST(NtfyParse, ReadsOneEventLine) {
  struct Case {
    std::string line;
    std::optional<NtfyEvent> event;
  };
  const NtfyEvent full{"e1", 1700000000, "message", "t", "hello"};
  const NtfyEvent bare{"e2", 5, "keepalive", std::nullopt, std::nullopt};
  const std::vector<Case> cases = {
      {R"({"id":"e1","time":1700000000,"event":"message","topic":"t","message":"hello"})", full},
      {" \t\u00A0\u3000" R"({"id":"e1","time":1700000000,"event":"message","topic":"t","message":"hello","extra":[1]})"
       "\u2003 \t",
       full},
      {R"({"id":"e2","time":5,"event":"keepalive","topic":null})", bare},
      {R"({"id":"e2","event":"message"})", std::nullopt},                // no time
      {R"({"time":5,"event":"message"})", std::nullopt},                 // no id
      {R"({"id":"e2","time":5})", std::nullopt},                         // no event
      {R"({"id":"e2","time":"5","event":"message"})", std::nullopt},     // time as text
      {R"({"id":"e2","time":5.5,"event":"message"})", std::nullopt},     // time not whole
      {R"({"id":7,"time":5,"event":"message"})", std::nullopt},          // id as number
      {R"({"id":")" + std::string(257, 'i') + R"(","time":5,"event":"message"})", std::nullopt},
      {R"({"id":")" + std::string(256, 'i') + R"(","time":5,"event":"keepalive"})",
       NtfyEvent{std::string(256, 'i'), 5, "keepalive", std::nullopt, std::nullopt}},
      {R"({"id":"e2","time":5,"event":"message","message":3})", std::nullopt},
      {R"({"id":"e2","time":18446744073709551615,"event":"message"})", std::nullopt},
      {R"(["id","time","event"])", std::nullopt},
      {"garbage", std::nullopt},
      {"   \t ", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(Ntfy::parse(c.line), c.event);
  }
}

TEST(NtfyParse, BodiesKeepTheGoodLinesInOrder) {
  const std::string a = R"({"id":"a","time":1,"event":"message","message":"one"})";
  const std::string b = R"({"id":"b","time":2,"event":"message","message":"two"})";
  const std::string open = R"({"id":"o","time":1,"event":"open"})";
  const std::string keepalive = R"({"id":"k","time":3,"event":"keepalive"})";
  const std::vector<std::string> breaks = {"\n",     "\r",           "\r\n",        "\v",
                                           "\f",     "\u0085",       "\u2028",      "\u2029",
                                           "\n\n\n", "\r\n\r\n\r\n"};
  for (const auto& lineBreak : breaks) {
    SCOPED_TRACE(testing::PrintToString(lineBreak));
    const auto body = open + lineBreak + lineBreak + "{not json" + lineBreak + a + lineBreak +
                      "  " + lineBreak + b + lineBreak + keepalive;
    const auto events = Ntfy::parseLines(body);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].id, "o");
    EXPECT_EQ(events[1].message, "one");
    EXPECT_EQ(events[2].message, "two");
    EXPECT_EQ(events[3].id, "k");
  }
  EXPECT_TRUE(Ntfy::parseLines("").empty());
  EXPECT_TRUE(Ntfy::parseLines("\r\n\n").empty());
}

TEST(NtfyParse, InvalidUTF8IsRepairedBeforeReading) {
  EXPECT_EQ(Ntfy::repairUTF8("a\xFF" "b\xE2\x82"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  EXPECT_EQ(Ntfy::repairUTF8("caf\xC3\xA9 \xF0\x9F\x98\x80"), "caf\xC3\xA9 \xF0\x9F\x98\x80");
  const auto event = Ntfy::parse(
      Ntfy::repairUTF8("{\"id\":\"a\",\"time\":1,\"event\":\"message\",\"message\":\"x\xFF\"}"));
  ASSERT_TRUE(event);
  EXPECT_EQ(event->message, "x\xEF\xBF\xBD");
}

TEST(NtfyEvent, WritesOptionalKeysOnlyWhenPresent) {
  const NtfyEvent bare{"a", 1, "open", std::nullopt, std::nullopt};
  EXPECT_EQ(bare.toJSON().dump(), R"({"event":"open","id":"a","time":1})");
  const NtfyEvent full{"b", 2, "message", "t", "m"};
  EXPECT_EQ(Ntfy::parse(full.toJSON().dump()), full);
  EXPECT_TRUE(full.isMessage());
  EXPECT_FALSE(bare.isMessage());
}

TEST(NtfySince, SendsDigitsIdOrAll) {
  EXPECT_EQ(NtfySince::unix(-3).value(), "-3");
  EXPECT_EQ(NtfySince::unix(1700000000).value(), "1700000000");
  EXPECT_EQ(NtfySince::id("xYz").value(), "xYz");
  EXPECT_EQ(NtfySince::all().value(), "all");
}

}  // namespace
}  // namespace torvo
