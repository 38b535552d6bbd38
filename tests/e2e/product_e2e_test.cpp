// The road of a command through the whole product, with the built programs: torvo-relay on
// 127.0.0.1, torvo-agent in simulate mode, torvo-ctl as the desktop app and torvo-phone as the
// phone, all as an unprivileged user.
#include <signal.h>

#include <thread>

#include <gtest/gtest.h>

#include "kit/envelope.h"
#include "kit/ntfy_client.h"
#include "tests/product_fixture.h"

namespace torvo::test {
namespace {

using ProductEndToEnd = ProductTest;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(ProductEndToEnd, PhonePairsWakesChangesTheIntervalAndEnds) {
  pairPhone();
  auto devices = status()["devices"];
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]["name"], "Test phone");
  EXPECT_TRUE(devices[0].contains("lastSeen")) << "the first message confirms the phone";

  const auto wake = phone({"wake", "2"});
  ASSERT_EQ(wake.status, 0) << wake.err << agentLog();
  EXPECT_TRUE(contains(wake.out, "ack: ok: Awake until ")) << wake.out;
  EXPECT_TRUE(contains(wake.out, "state: awake until ")) << wake.out;
  auto now = status();
  ASSERT_TRUE(now.contains("awakeUntil")) << now.dump();
  EXPECT_EQ(now["wokenBy"]["name"], "Test phone");

  const auto interval = phone({"interval", "60"});
  ASSERT_EQ(interval.status, 0) << interval.err;
  EXPECT_TRUE(contains(interval.out, "ack: ok")) << interval.out;
  EXPECT_TRUE(contains(interval.out, "every 60 minutes")) << interval.out;
  EXPECT_EQ(status()["config"]["checkIn"], 60);

  const auto end = phone({"--json", "end"});
  ASSERT_EQ(end.status, 0) << end.err;
  EXPECT_TRUE(contains(end.out, "\"type\":\"ack\"")) << end.out;
  EXPECT_TRUE(contains(end.out, "\"state\":\"asleep\"")) << end.out;
  EXPECT_FALSE(status().contains("awakeUntil"));
  EXPECT_TRUE(contains(agentLog(), "[power] Wake ended at ")) << agentLog();
}

TEST_F(ProductEndToEnd, ReplayedEnvelopeAndGarbageLineAreCountedAsDrops) {
  const Pairing pairing = pairPhone();
  ASSERT_EQ(phone({"status"}).status, 0);

  const NtfyClient relay(relayURL_, pairing.topic, std::make_shared<HttpSession>());
  const HttpCancel cancel;
  std::optional<std::string> sent;
  for (const auto& event : relay.poll(NtfySince::all(), cancel)) {
    if (!event.message) continue;
    const auto opened = Envelope::openMessage(*event.message, pairing.key(), pairing.keyID);
    if (opened && opened->isPhoneToMac()) sent = event.message;
  }
  ASSERT_TRUE(sent) << "the phone's sealed status is on the relay";
  relay.publish(*sent, cancel);
  relay.publish("this is not an envelope", cancel);
  ASSERT_EQ(ctl({"check-in"}).status, 0);

  nlohmann::json counted;
  for (int i = 0; i < 100; ++i) {
    counted = status();
    if (counted["drops"]["replay"] >= 1 && counted["drops"]["invalid"] >= 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(counted["drops"]["replay"], 1) << counted.dump();
  EXPECT_EQ(counted["drops"]["invalid"], 1) << counted.dump();
  EXPECT_EQ(ctl({"status"}).status, 0) << "the agent keeps serving";
}

TEST_F(ProductEndToEnd, WakeAndEndFromTheAppReachThePhone) {
  pairPhone();
  Spawned watch;
  watch.start({(dir_ / "torvo-phone").string(), "--state", (dir_ / "phone").string(), "watch"},
              user(), dir_ / "watch.err");
  // The watch follows from the second it starts; let that second pass before the Wake.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));

  ASSERT_EQ(ctl({"wake", "1"}).status, 0);
  EXPECT_TRUE(watch.waitFor("state: awake until ", 20))
      << watch.output() << readFile(dir_ / "watch.err");
  ASSERT_EQ(ctl({"end"}).status, 0);
  EXPECT_TRUE(watch.waitFor("state: asleep", 20)) << watch.output();
  watch.stop(SIGTERM);
}

TEST_F(ProductEndToEnd, StopsOnSigtermAndARestartTakesUpTheWake) {
  pairPhone();
  ASSERT_EQ(phone({"wake", "3"}).status, 0);
  const auto until = status()["awakeUntil"];
  ASSERT_TRUE(until.is_number_integer());

  EXPECT_EQ(stopAgent(), 0);
  EXPECT_TRUE(contains(agentLog(), "stopping")) << agentLog();
  EXPECT_FALSE(std::filesystem::exists(home_ / "agent.sock"));

  startAgent();
  EXPECT_EQ(status()["awakeUntil"], until);
  const auto report = phone({"status"});
  ASSERT_EQ(report.status, 0) << report.err;
  EXPECT_TRUE(contains(report.out, "state: awake until ")) << report.out;
}

}  // namespace
}  // namespace torvo::test
