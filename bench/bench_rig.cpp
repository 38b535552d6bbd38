#include "bench/bench_rig.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "agent/command_line.h"
#include "agent/relay.h"
#include "base/file_store.h"
#include "base/paths.h"
#include "kit/crypto.h"
#include "kit/envelope.h"
#include "kit/pairing.h"
#include "model/model_store.h"
#include "platform/linux/power_linux_platform.h"

namespace torvo::bench {
namespace {

constexpr std::int64_t dayAgo = 86400;

std::string startRelay(RelayServer& relay) {
  return "http://127.0.0.1:" + std::to_string(relay.start());
}

// The agent's relay with a note of when each publish finished: the end of the last one is
// where a check-in's work for the phones is done.
class TimedRelay : public RelayTransport {
 public:
  TimedRelay(std::unique_ptr<RelayTransport> inner, BenchRig::TimePoint& last, std::size_t& count)
      : inner_(std::move(inner)), last_(last), count_(count) {}

  asio::awaitable<std::optional<std::string>> publish(std::string text) override {
    auto sending = inner_->publish(std::move(text));
    auto id = co_await std::move(sending);
    last_ = std::chrono::steady_clock::now();
    ++count_;
    co_return id;
  }
  asio::awaitable<std::vector<NtfyEvent>> poll(NtfySince since) override {
    return inner_->poll(std::move(since));
  }
  asio::awaitable<RelayHealth> health(double wait) override { return inner_->health(wait); }

 private:
  std::unique_ptr<RelayTransport> inner_;
  BenchRig::TimePoint& last_;
  std::size_t& count_;
};

}  // namespace

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "torvo-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

BenchRig::BenchRig(int phones)
    : relay_(RelayServer::Options{}),
      relayURL_(startRelay(relay_)),
      topic_(Pairing::randomString(24)),
      phoneClient_(relayURL_, topic_, std::make_shared<HttpSession>()),
      log_(AgentPaths::simulate(scratch_.path()).log(), false),
      power_(&log_, PowerSource{80, false, true}, std::string("Bench"), std::nullopt,
             LinuxPowerPlatform()),
      settings_(log_, true) {
  const AgentPaths paths = AgentPaths::simulate(scratch_.path());
  const std::int64_t now = systemNow();
  DevicesFile devices(relayURL_, topic_);
  for (int i = 0; i < phones; ++i) {
    phones_.push_back({Pairing::randomString(10), Crypto::randomBytes(32)});
    devices.devices.push_back(PairedDevice{phones_.back().kid, phones_.back().key,
                                           "Phone " + std::to_string(i), now - dayAgo,
                                           now - dayAgo + 1});
  }
  FileStore(paths.ownerUID).ensureDirectory(paths.dataDir, 0755);
  if (!ModelStore(paths, log_).saveDevices(devices)) throw std::runtime_error("cannot write devices.json");

  auto makeRelay = [this](const std::string& relay, const std::string& topic) {
    auto real = std::make_unique<NtfyRelay>(relay, topic, workers_, sessions_.forRelay(relay));
    return std::unique_ptr<RelayTransport>(
        std::make_unique<TimedRelay>(std::move(real), lastPublish_, publishes_));
  };
  agent_ = std::make_unique<Agent>(io_.get_executor(), paths, power_, settings_, log_,
                                   AgentOptions{true, 30, 2, relayURL_, Calendar{"UTC"}},
                                   makeRelay, [] { return systemNow(); });
}

BenchRig::~BenchRig() {
  agent_.reset();
  relay_.stop();
}

void BenchRig::publishFromPhone(std::size_t index, const Message& message) {
  const Phone& phone = phones_.at(index);
  const auto sealed = Envelope::seal(message, phone.key, phone.kid);
  if (!sealed) throw std::runtime_error("a phone message did not seal");
  HttpCancel cancel;
  phoneClient_.publish(*sealed, cancel);
}

Message BenchRig::statusCommand() {
  return Command{CommandKind::status, std::nullopt, Crypto::randomUUID(), systemNow(), "Bench phone"};
}

Message BenchRig::wakeCommand(std::int64_t hours) {
  return Command{CommandKind::wake, hours, Crypto::randomUUID(), systemNow(), "Bench phone"};
}

void BenchRig::checkIn(Trigger trigger) {
  asio::co_spawn(io_, agent_->checkIn(trigger), [](std::exception_ptr error) {
    if (error) std::rethrow_exception(error);
  });
  io_.restart();
  io_.run();
}

}  // namespace torvo::bench
