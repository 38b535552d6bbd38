#include "tools/phone_commands.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "relay_server/relay_server.h"
#include "tests/test_support.h"
#include "tools/phone_store.h"

namespace torvo {
namespace {

namespace fs = std::filesystem;

Phone::Invocation defaults() {
  Phone::Invocation invocation;
  invocation.stateFolder = "/state";
  invocation.name = "host";
  return invocation;
}

TEST(PhoneParse, ReadsCommandsAndOptions) {
  struct Case {
    std::vector<std::string> args;
    Phone::Verb verb;
    std::optional<std::int64_t> hours;
    std::int64_t minutes;
  };
  const Case cases[] = {
      {{"wake"}, Phone::Verb::wake, std::nullopt, 0},
      {{"wake", "24"}, Phone::Verb::wake, 24, 0},
      {{"--timeout", "5", "status"}, Phone::Verb::status, std::nullopt, 0},
      {{"end", "--json"}, Phone::Verb::end, std::nullopt, 0},
      {{"interval", "30"}, Phone::Verb::interval, std::nullopt, 30},
      {{"watch", "--count", "2"}, Phone::Verb::watch, std::nullopt, 0},
  };
  for (const auto& c : cases) {
    const auto parsed = Phone::parse(c.args, defaults());
    ASSERT_TRUE(parsed) << c.args[0] << ": " << parsed.error();
    EXPECT_EQ(parsed->verb, c.verb);
    EXPECT_EQ(parsed->hours, c.hours);
    EXPECT_EQ(parsed->minutes, c.minutes);
  }
  const auto full = Phone::parse({"--state", "/x", "--name", "Ann's phone", "--timeout", "7",
                                  "--json", "pair", "torvo://pair?v=1"},
                                 defaults());
  ASSERT_TRUE(full);
  EXPECT_EQ(full->verb, Phone::Verb::pair);
  EXPECT_EQ(full->stateFolder, "/x");
  EXPECT_EQ(full->name, "Ann's phone");
  EXPECT_EQ(full->timeout, 7);
  EXPECT_TRUE(full->json);
  EXPECT_EQ(full->link, "torvo://pair?v=1");
}

TEST(PhoneParse, RefusesBadArguments) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"fly"},
      {"wake", "0"},
      {"wake", "25"},
      {"wake", "2h"},
      {"wake", "1", "2"},
      {"interval"},
      {"interval", "20"},
      {"pair"},
      {"status", "now"},
      {"status", "--timeout"},
      {"status", "--timeout", "0"},
      {"status", "--bogus"},
  };
  for (const auto& args : cases) {
    EXPECT_FALSE(Phone::parse(args, defaults())) << (args.empty() ? "(none)" : args[0]);
  }
  Phone::Invocation noFolder = defaults();
  noFolder.stateFolder.clear();
  EXPECT_FALSE(Phone::parse({"status"}, noFolder));
  EXPECT_TRUE(Phone::parse({"--state", "/y", "status"}, noFolder));
}

TEST(PhoneCommand, RecordsCarryTheNameAndTheAskedValues) {
  auto invocation = defaults();
  invocation.name = "  Ann\x07's phone ";
  invocation.verb = Phone::Verb::wake;
  invocation.hours = 3;
  const Message wake = Phone::commandFor(invocation, 1'700'000'000);
  const auto& command = std::get<Command>(wake.payload);
  EXPECT_EQ(command.kind, CommandKind::wake);
  EXPECT_EQ(command.hours, 3);
  EXPECT_EQ(command.from, "Ann's phone");
  EXPECT_EQ(command.ts, 1'700'000'000);
  EXPECT_EQ(command.id.size(), 36u);

  invocation.verb = Phone::Verb::interval;
  invocation.minutes = 60;
  const auto change = std::get<ConfigChange>(Phone::commandFor(invocation, 5).payload);
  EXPECT_EQ(change.checkInMinutes, 60);
  EXPECT_NE(change.id, command.id);
}

TEST(PhoneDescribe, ReadableLinesInLocalTime) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  MacState report;
  report.state = PowerState::awake;
  report.awakeUntil = 1'700'003'600;  // 2023-11-14 23:13 UTC
  report.battery = 80;
  report.charging = true;
  report.lastCheckIn = 1'700'000'000;
  report.mac = "Desk\nbox";
  EXPECT_EQ(Phone::describe(report),
            "state: awake until 2023-11-14 23:13; battery 80%, charging; last check-in "
            "2023-11-14 22:13, next check-in none; every 15 minutes; Deskbox");
  EXPECT_EQ(Phone::describe(Ack{"x", false, "No \x1b[31mWake", "y", 1}),
            "ack: refused: No [31mWake");
  EXPECT_EQ(Phone::describe(Ack{"x", true, std::nullopt, "y", 1}), "ack: ok");
}

TEST(PhoneStoreTest, KeepsThePairingPrivateAndRefusesLooseFiles) {
  test::TempDir dir;
  const PhoneStore store(dir / "state" / "torvo-phone");
  EXPECT_NE(store.load().error().find("not paired yet"), std::string::npos);

  const Pairing pairing = Pairing::generate("http://127.0.0.1:8080", Pairing::randomTopic(), "Desk");
  store.save(pairing);
  EXPECT_EQ(store.load(), pairing);
  struct stat st {};
  ASSERT_EQ(::stat(store.linkPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(store.folder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  ::chmod(store.linkPath().c_str(), 0666);
  EXPECT_FALSE(store.load());
  ::chmod(store.linkPath().c_str(), 0600);
  std::ofstream(store.linkPath()) << "torvo://pair?v=9\n";
  EXPECT_NE(store.load().error().find("does not hold a valid pairing link"), std::string::npos);
}

// A relay in this process and a computer's side that answers every command with an
// acknowledgement (refused when `refuse` is set) and a state report, as a check-in does.
class PhoneRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    relay_ = "http://127.0.0.1:" + std::to_string(server_.start());
    pairing_ = Pairing::generate(relay_, Pairing::randomTopic(), "Desk");
    invocation_ = defaults();
    invocation_.stateFolder = dir_ / "phone";
    invocation_.timeout = 10;
    PhoneStore(invocation_.stateFolder).save(pairing_);
  }

  void TearDown() override {
    if (mac_.joinable()) mac_.join();
    server_.stop();
  }

  void answerOnce(bool refuse) {
    mac_ = std::thread([this, refuse] {
      const PairedDevice device{pairing_.keyID, pairing_.keyData, "phone", 1, 1};
      const MacChannel mac(relay_, pairing_.topic, {device}, std::make_shared<HttpSession>());
      const auto stream = filtered(
          std::make_unique<NtfyStream>(mac.client(), NtfySince::all()),
          [&mac](const NtfyEvent& event) { return mac.open(event); });
      const auto received = stream->next();
      if (!received) return;
      received_ = received->message;
      mac.send(Ack{received->message.id(), !refuse, "Awake until 10:00", "ack-1", 2});
      MacState report;
      report.state = PowerState::awake;
      report.awakeUntil = 1'700'003'600;
      report.id = "state-1";
      report.ts = 2;
      mac.send(report);
    });
  }

  int run(Phone::Verb verb) {
    invocation_.verb = verb;
    return Phone::execute(invocation_, out_, err_);
  }

  test::TempDir dir_;
  RelayServer server_{RelayServer::Options{}};
  std::string relay_;
  Pairing pairing_;
  Phone::Invocation invocation_;
  std::thread mac_;
  std::optional<Message> received_;
  std::ostringstream out_, err_;
};

TEST_F(PhoneRoundTrip, WakePrintsTheAckAndTheReport) {
  answerOnce(false);
  invocation_.hours = 2;
  ASSERT_EQ(run(Phone::Verb::wake), Phone::done) << err_.str();
  mac_.join();
  ASSERT_TRUE(received_);
  EXPECT_EQ(std::get<Command>(received_->payload).hours, 2);
  EXPECT_NE(out_.str().find("ack: ok: Awake until 10:00\nstate: awake until "), std::string::npos)
      << out_.str();
}

TEST_F(PhoneRoundTrip, RefusalAndSilenceAreFailures) {
  answerOnce(true);
  EXPECT_EQ(run(Phone::Verb::end), Phone::refused);
  EXPECT_NE(out_.str().find("ack: refused"), std::string::npos) << out_.str();
  mac_.join();

  invocation_.timeout = 1;
  EXPECT_EQ(run(Phone::Verb::status), Phone::noAnswer);
  EXPECT_NE(err_.str().find("no answer from Desk within 1 s"), std::string::npos) << err_.str();
}

TEST_F(PhoneRoundTrip, WatchPrintsJSONLinesAndUnreachableRelayFails) {
  answerOnce(false);
  std::thread phone([this] {
    const PhoneChannel channel(pairing_, std::make_shared<HttpSession>());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    channel.send(Command{CommandKind::status, std::nullopt, "cmd-1", 1, "other"});
  });
  invocation_.json = true;
  invocation_.count = 2;
  EXPECT_EQ(run(Phone::Verb::watch), Phone::done) << err_.str();
  phone.join();
  std::istringstream lines(out_.str());
  std::string ack, state;
  std::getline(lines, ack);
  std::getline(lines, state);
  EXPECT_EQ(Message::decode(ack)->typeName(), "ack");
  EXPECT_EQ(Message::decode(state)->typeName(), "state");

  server_.stop();
  EXPECT_EQ(run(Phone::Verb::status), Phone::noAnswer);
  EXPECT_NE(err_.str().find("cannot reach the relay"), std::string::npos) << err_.str();
}

}  // namespace
}  // namespace torvo
