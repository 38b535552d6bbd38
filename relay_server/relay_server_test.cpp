// The relay client and torvo-relay's server together over real HTTP on 127.0.0.1.
#include "relay_server/relay_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <regex>

#include "kit/ntfy_client.h"

namespace torvo {
namespace {

using namespace std::chrono_literals;

class RelayServerTest : public testing::Test {
 protected:
  void SetUp() override { start(); }

  void start(std::int64_t keepalive = 1) {
    server_ = std::make_unique<RelayServer>(RelayServer::Options{
        .host = "127.0.0.1", .port = 0, .keepalive = keepalive, .now = [this] { return now_.load(); }});
    relay_ = "http://127.0.0.1:" + std::to_string(server_->start());
  }

  NtfyClient client(const std::string& topic = "mac-topic") const {
    return NtfyClient(relay_, topic, session_);
  }

  std::string publish(const std::string& text, const std::string& topic = "mac-topic") {
    HttpCancel cancel;
    auto id = client(topic).publish(text, cancel);
    EXPECT_TRUE(id);
    return id.value_or("");
  }

  std::vector<std::string> messages(const std::vector<NtfyEvent>& events) {
    std::vector<std::string> out;
    for (const auto& event : events) out.push_back(event.message.value_or("?"));
    return out;
  }

  std::vector<std::string> pollMessages(const NtfySince& since) {
    HttpCancel cancel;
    return messages(client().poll(since, cancel));
  }

  std::atomic<std::int64_t> now_{1'700'000'000};
  std::shared_ptr<const HttpSession> session_ = std::make_shared<const HttpSession>();
  std::unique_ptr<RelayServer> server_;
  std::string relay_;
};

TEST_F(RelayServerTest, PublishedTextsComeBackInOrderOnTheirTopicOnly) {
  const auto first = publish("one");
  publish("elsewhere", "other-topic");
  const auto second = publish("two");
  EXPECT_TRUE(std::regex_match(first, std::regex("[A-Za-z0-9]{12}"))) << first;
  EXPECT_NE(first, second);

  HttpCancel cancel;
  const auto events = client().poll(NtfySince::all(), cancel);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].id, first);
  EXPECT_EQ(events[0].message, "one");
  EXPECT_EQ(events[0].topic, "mac-topic");
  EXPECT_EQ(events[0].time, now_.load());
  EXPECT_EQ(events[1].id, second);
  EXPECT_EQ(messages(client("other-topic").poll(NtfySince::all(), cancel)),
            std::vector<std::string>{"elsewhere"});
  EXPECT_TRUE(client("empty").poll(NtfySince::all(), cancel).empty());
}

TEST_F(RelayServerTest, PollStartsAtTheSincePoint) {
  const auto a = publish("a");
  now_ += 10;
  const auto b = publish("b");
  now_ += 10;
  publish("c");
  const std::int64_t t0 = 1'700'000'000;

  struct Case {
    NtfySince since;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {NtfySince::all(), {"a", "b", "c"}},
      {NtfySince::unix(t0), {"a", "b", "c"}},  // events at that second count
      {NtfySince::unix(t0 + 1), {"b", "c"}},
      {NtfySince::unix(t0 + 10), {"b", "c"}},
      {NtfySince::unix(t0 + 21), {}},
      {NtfySince::id(a), {"b", "c"}},  // strictly after the id
      {NtfySince::id(b), {"c"}},
      {NtfySince::id("Unknown12345"), {"a", "b", "c"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.since.value());
    EXPECT_EQ(pollMessages(c.since), c.expected);
  }
}

TEST_F(RelayServerTest, EventsExpireAfterTwelveHours) {
  publish("old");
  now_ += 6 * 3600;
  publish("new");
  now_ += 6 * 3600;
  EXPECT_EQ(pollMessages(NtfySince::all()), std::vector<std::string>{"new"});
}

TEST_F(RelayServerTest, RefusesBadMessagesAndTopics) {
  HttpCancel cancel;
  const auto status = [&](const std::string& text, const std::string& topic) {
    try {
      client(topic).publish(text, cancel);
      return 200;
    } catch (const NtfyError& error) {
      return error.status;
    }
  };
  EXPECT_EQ(status(std::string(4096, 'x'), "mac-topic"), 200);
  EXPECT_EQ(status(std::string(4097, 'x'), "mac-topic"), 413);
  EXPECT_EQ(status(std::string(100 * 1024, 'x'), "mac-topic"), 413);
  EXPECT_EQ(status("bad \xFF utf-8", "mac-topic"), 400);
  EXPECT_EQ(status("x", "bad.topic"), 404);
  EXPECT_EQ(status("x", std::string(65, 'a')), 404);
  EXPECT_EQ(status("x", std::string(64, 'a')), 200);
  EXPECT_EQ(pollMessages(NtfySince::all()), std::vector<std::string>{std::string(4096, 'x')});

  // The refusals carry an ntfy-style error document.
  HttpRequest request{.method = "POST", .url = client().topicURL(), .body = std::string(5000, 'y')};
  const auto answer = session_->send(request, cancel);
  EXPECT_EQ(answer.status, 413);
  EXPECT_EQ(answer.body, "");  // the client never reads an error body
  request = HttpRequest{.method = "GET", .url = relay_ + "/a/b/c"};
  EXPECT_EQ(session_->send(request, cancel).status, 404);
}

TEST_F(RelayServerTest, HealthAnswersWithADate) {
  HttpCancel cancel;
  const auto answer = session_->send(HttpRequest{.url = relay_ + "/v1/health"}, cancel);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, "{\"healthy\":true}\n");
  const auto date = answer.header("date");
  ASSERT_TRUE(date);
  EXPECT_TRUE(std::regex_match(*date, std::regex("[A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} "
                                                 "\\d\\d:\\d\\d:\\d\\d GMT")))
      << *date;
}

TEST_F(RelayServerTest, StreamDeliversKeptAndNewMessagesAndSkipsBookkeeping) {
  const auto kept = publish("kept");
  publish("later-kept");
  NtfyStream stream(client(), NtfySince::id(kept));
  auto first = stream.next();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->message, "later-kept");
  // A keep-alive (every second here) passes unseen; a new message arrives after it.
  std::this_thread::sleep_for(1200ms);
  publish("live");
  auto second = stream.next();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->message, "live");
  EXPECT_TRUE(second->isMessage());
}

TEST_F(RelayServerTest, StreamWithoutSinceSeesOnlyNewMessages) {
  publish("before");
  NtfyStream stream(client(), std::nullopt);
  // The stream is open once the relay has answered; publish until the reader sees one.
  std::optional<NtfyEvent> event;
  auto reader = std::async(std::launch::async, [&] { return stream.next(); });
  while (reader.wait_for(100ms) != std::future_status::ready) publish("after");
  event = reader.get();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->message, "after");
}

TEST_F(RelayServerTest, StreamEndsNormallyWhenTheRelayCloses) {
  publish("only");
  NtfyStream stream(client(), NtfySince::all());
  ASSERT_TRUE(stream.next());
  server_->stop();
  EXPECT_EQ(stream.next(), std::nullopt);  // the end of the sequence, not an error
}

TEST_F(RelayServerTest, StreamRefusedByTheRelayEndsWithItsStatus) {
  NtfyStream stream(client("bad.topic"), std::nullopt);
  try {
    stream.next();
    ADD_FAILURE() << "a refused stream yielded";
  } catch (const NtfyError& error) {
    EXPECT_EQ(error.status, 404);
  }
}

TEST_F(RelayServerTest, ConsumerStopsAStreamPromptly) {
  for (const bool byCancel : {true, false}) {
    SCOPED_TRACE(byCancel);
    auto stream = std::make_unique<NtfyStream>(client(), NtfySince::all());
    publish("x");
    ASSERT_TRUE(stream->next());
    const auto started = std::chrono::steady_clock::now();
    if (byCancel) {
      stream->cancel();
      try {
        while (stream->next()) {
        }
        ADD_FAILURE() << "a cancelled stream ended without error";
      } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::cancelled);
      }
    }
    stream.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  }
}

TEST_F(RelayServerTest, UnreachableRelayIsATransportError) {
  const std::string closed = relay_;
  server_->stop();
  HttpCancel cancel;
  try {
    NtfyClient(closed, "t", session_).poll(NtfySince::all(), cancel);
    ADD_FAILURE() << "poll of a stopped relay succeeded";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.kind(), TransportError::Kind::cannotConnect);
  }
}

}  // namespace
}  // namespace torvo
