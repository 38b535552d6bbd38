// BenchRig: the agent as simulate mode wires it (simulated power, dry-run system settings, the
// real NtfyRelay on a worker pool, a file log) in a scratch home, talking to an in-process
// torvo-relay on 127.0.0.1 with paired phones whose keys are real. The benchmarks drive it
// from one thread: `checkIn` runs the agent's io_context on the calling thread until the
// check-in is over; `publishFromPhone` is a phone publishing a sealed message over HTTP.
// Not thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <asio.hpp>

#include "agent/agent.h"
#include "agent/relay.h"
#include "agent/worker_pool.h"
#include "base/agent_log.h"
#include "kit/bytes.h"
#include "kit/messages.h"
#include "kit/ntfy_client.h"
#include "power/simulated_power.h"
#include "relay_server/relay_server.h"
#include "setup/real_system_settings.h"

namespace torvo::bench {

// A folder under the system's temporary directory, removed with everything in it on
// destruction.
class ScratchDir {
 public:
  ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// One paired phone: its key identifier and its 32-byte key.
struct Phone {
  std::string kid;
  Bytes key;
};

class BenchRig {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // `phones` confirmed phones, paired a day ago.
  explicit BenchRig(int phones);
  BenchRig(const BenchRig&) = delete;
  BenchRig& operator=(const BenchRig&) = delete;
  ~BenchRig();

  Agent& agent() { return *agent_; }
  // The agent's io_context; run it on one thread at a time only.
  asio::io_context& io() { return io_; }
  const std::vector<Phone>& phones() const { return phones_; }
  const std::string& relayURL() const { return relayURL_; }
  const std::filesystem::path& home() const { return scratch_.path(); }

  // Seals `message` with phone `index`'s key and publishes it to the agent's topic.
  void publishFromPhone(std::size_t index, const Message& message);
  // A status command from phone `index` stamped now, with a fresh identifier.
  static Message statusCommand();
  static Message wakeCommand(std::int64_t hours);

  // Runs one check-in to its end on the calling thread.
  void checkIn(Trigger trigger);
  // When the last publish of the agent finished, and how many publishes finished so far.
  TimePoint lastPublish() const { return lastPublish_; }
  std::size_t publishes() const { return publishes_; }
  // How many connections the agent's requests to the relay have opened so far.
  std::uint64_t connectionsOpened() { return sessions_.forRelay(relayURL_)->connectionsOpened(); }

 private:
  ScratchDir scratch_;
  RelayServer relay_;
  std::string relayURL_;
  std::vector<Phone> phones_;
  std::string topic_;
  NtfyClient phoneClient_;
  AgentLog log_;
  SimulatedPower power_;
  RealSystemSettings settings_;
  asio::io_context io_;
  WorkerPool workers_{2};
  RelaySessions sessions_;
  TimePoint lastPublish_{};
  std::size_t publishes_ = 0;
  std::unique_ptr<Agent> agent_;
};

}  // namespace torvo::bench
