// The agent on a fixed clock with fake power, fake settings and a scripted relay, for the
// tests of the check-in cycle and of the app requests.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <future>
#include <optional>
#include <set>
#include <utility>

#include <gtest/gtest.h>

#include "agent/agent.h"
#include "kit/envelope.h"
#include "tests/fakes/fake_doorbell.h"
#include "tests/fakes/fake_power.h"
#include "tests/fakes/fake_relay.h"
#include "tests/fakes/fake_system_settings.h"
#include "tests/test_support.h"

namespace torvo::test {

inline constexpr std::int64_t start = 1'700'000'000;  // 2023-11-14 22:13:20 UTC
inline const Calendar utc{"UTC"};

// Holds a relay call until the test cancels the timer.
inline asio::awaitable<void> passGate(std::shared_ptr<asio::steady_timer> gate) {
  if (!gate) co_return;
  asio::error_code ignored;
  co_await gate->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

// What a test does to the check-ins' relays beyond FakeRelay's script; read at each call.
struct RelayHooks {
  std::shared_ptr<asio::steady_timer> healthGate;   // holds every health check until cancelled
  std::shared_ptr<asio::steady_timer> publishGate;  // holds every publish until cancelled
  std::exception_ptr healthError;                   // the next health check throws it
  std::optional<std::string> servedTopic;           // polls of any other topic answer nothing
  std::vector<std::string> polledTopics;            // the topic of every poll, as it is asked
};

// The check-in's relay: a FakeRelay shared across check-ins, with a gate that holds a poll
// until the test opens it and a set of publish numbers (1-based) that fail.
class TestRelay : public RelayTransport {
 public:
  TestRelay(FakeRelay& fake, asio::io_context& io, std::shared_ptr<asio::steady_timer> gate,
            std::set<int>& failing, int& publishes, RelayHooks* hooks = nullptr, std::string topic = "")
      : fake_(fake), gate_(std::move(gate)), failing_(failing), publishes_(publishes), hooks_(hooks),
        topic_(std::move(topic)) {
    (void)io;
  }
  asio::awaitable<std::optional<std::string>> publish(std::string text) override {
    if (hooks_) {
      auto held = passGate(hooks_->publishGate);
      co_await std::move(held);
    }
    if (failing_.contains(++publishes_)) throw NtfyError::http(500);
    co_return co_await fake_.publish(std::move(text));
  }
  asio::awaitable<std::vector<NtfyEvent>> poll(NtfySince since) override {
    if (hooks_) hooks_->polledTopics.push_back(topic_);
    auto held = passGate(gate_);
    co_await std::move(held);
    if (hooks_ && hooks_->servedTopic && *hooks_->servedTopic != topic_) co_return std::vector<NtfyEvent>{};
    co_return co_await fake_.poll(std::move(since));
  }
  asio::awaitable<RelayHealth> health(double wait) override {
    if (hooks_) {
      auto held = passGate(hooks_->healthGate);
      co_await std::move(held);
      if (auto error = std::exchange(hooks_->healthError, nullptr)) std::rethrow_exception(error);
    }
    co_return co_await fake_.health(wait);
  }

 private:
  FakeRelay& fake_;
  std::shared_ptr<asio::steady_timer> gate_;
  std::set<int>& failing_;
  int& publishes_;
  RelayHooks* hooks_;
  std::string topic_;
};

class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override { ::umask(022); }

  // Paired phones, written before the agent starts.
  void pairPhones(int count, std::int64_t pairedAt = start - 86400) {
    DevicesFile devices("https://relay.example", "rr-aaaaaaaaaaaaaaaaaaaaaaaa");
    for (int i = 0; i < count; ++i) {
      devices.devices.push_back(PairedDevice{"phone" + std::to_string(10000 + i),
                                             Bytes(32, static_cast<std::uint8_t>(i + 1)),
                                             "Phone " + std::to_string(i), pairedAt, pairedAt + 1});
    }
    FileStore(paths_.ownerUID).ensureDirectory(paths_.dataDir, 0755);
    ModelStore(paths_, log_).saveDevices(devices);
  }

  Agent& agent() {
    if (!agent_) {
      agent_ = std::make_unique<Agent>(
          io_.get_executor(), paths_, power_, settings_, log_,
          AgentOptions{true, 30, 2, "https://relay.example", utc},
          [this](const std::string&, const std::string& topic) {
            ++relaysMade_;
            return std::make_unique<TestRelay>(fake_, io_, gate_, failing_, publishes_, &hooks_, topic);
          },
          [this] { return now_; }, &doorbell_);
    }
    return *agent_;
  }

  void run(asio::awaitable<void> operation) {
    auto done = asio::co_spawn(io_, std::move(operation), asio::use_future);
    io_.restart();
    io_.run();
    done.get();
  }

  void checkIn(Trigger trigger) { run(agent().checkIn(trigger)); }

  // Starts `operation` and runs only what is ready, so that a gated relay call stays held.
  template <class T>
  std::future<T> begin(asio::awaitable<T> operation) {
    auto done = asio::co_spawn(io_, std::move(operation), asio::use_future);
    io_.restart();
    io_.poll();
    return done;
  }

  // Whether an operation started with begin() has finished (its future is set from another
  // thread, so this waits a little).
  template <class T>
  static bool finished(std::future<T>& done) {
    return done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  }

  // Handles one app request while a check-in is held: the request itself never waits on the
  // relay, and what it kicks merges with the held pass.
  AppResponse requestNow(AppRequest r) {
    auto handling = begin(agent().handle(std::move(r)));
    if (!finished(handling)) {
      ADD_FAILURE() << "the request waited for the held check-in";
      return AppResponse{AppResponses::Ok{}};
    }
    return handling.get();
  }

  // Opens a gate and runs until nothing is left to do (bounded, so that a pass that never
  // finishes fails the test instead of hanging it).
  void release(std::shared_ptr<asio::steady_timer>& gate) {
    gate->cancel();
    gate.reset();
    io_.restart();
    io_.run_for(std::chrono::seconds(5));
  }

  // Handles one app request and runs everything it started (kicked check-ins included).
  AppResponse request(AppRequest r) {
    AppResponse out{AppResponses::Ok{}};
    run([](Agent& agent, AppRequest r, AppResponse& out) -> asio::awaitable<void> {
      auto handling = agent.handle(std::move(r));
      out = co_await std::move(handling);
    }(agent(), std::move(r), out));
    return out;
  }

  std::string seal(const Message& message, int phone = 0) {
    return *Envelope::seal(message, Bytes(32, static_cast<std::uint8_t>(phone + 1)),
                           "phone" + std::to_string(10000 + phone));
  }

  NtfyEvent event(const std::string& text) {
    return NtfyEvent{"ev" + std::to_string(++events_), now_, "message", std::nullopt, text};
  }

  // The messages published to one phone, opened with its key.
  std::vector<Message> receivedBy(int phone) {
    std::vector<Message> out;
    for (const auto& text : fake_.published()) {
      auto opened = Envelope::openMessage(text, Bytes(32, static_cast<std::uint8_t>(phone + 1)),
                                          "phone" + std::to_string(10000 + phone));
      if (opened) out.push_back(*opened);
    }
    return out;
  }

  std::size_t linesWith(const std::string& text) const {
    std::size_t n = 0;
    for (const auto& line : log_.lines()) n += line.message.find(text) != std::string::npos;
    return n;
  }

  TempDir home_;
  AgentPaths paths_ = AgentPaths::simulate(home_.path());
  RecordingLog log_;
  FakePower power_;
  FakeSystemSettings settings_;
  asio::io_context io_;
  FakeRelay fake_;
  std::shared_ptr<asio::steady_timer> gate_;
  RelayHooks hooks_;
  FakeDoorbell doorbell_;
  std::set<int> failing_;
  int publishes_ = 0;
  int relaysMade_ = 0;
  int events_ = 0;
  std::int64_t now_ = start;
  std::unique_ptr<Agent> agent_;
};

}  // namespace torvo::test
