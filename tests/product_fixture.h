// The whole product in a scratch folder for end-to-end tests: the built torvo-relay on
// 127.0.0.1 with a random port, torvo-agent in simulate mode (polling every 2 seconds), and
// torvo-ctl and torvo-phone run as the agent's user. As root, every program runs as uid 65534
// because simulate mode refuses root. Used from the test's thread only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "kit/pairing.h"
#include "tests/test_support.h"

namespace torvo::test {

// A started program whose standard output is read through a pipe; killed with SIGKILL and
// waited for when it goes away unless `stop` was called.
class Spawned {
 public:
  Spawned() = default;
  Spawned(const Spawned&) = delete;
  Spawned& operator=(const Spawned&) = delete;
  ~Spawned();

  // Starts `argv` with standard error appended to `errFile`.
  void start(const std::vector<std::string>& argv, std::optional<uid_t> asUser,
             const std::filesystem::path& errFile);
  // Reads output until `text` appears after the previous match, or `seconds` pass; the output
  // so far is kept.
  bool waitFor(const std::string& text, double seconds);
  const std::string& output() const { return output_; }
  // Sends `signal` and waits; the exit status, or 128 + the signal number.
  int stop(int signal);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string output_;
  std::size_t matched_ = 0;
};

class ProductTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  void startRelay();
  void startAgent();
  // SIGTERM to the agent; its exit status.
  int stopAgent();

  ProcessResult ctl(const std::vector<std::string>& args);
  ProcessResult phone(const std::vector<std::string>& args);
  // `torvo-ctl status --json`, parsed.
  nlohmann::json status();
  // Opens a pairing code and pairs the phone with it; the pairing the phone stored.
  Pairing pairPhone();
  std::string agentLog() const;

  static bool isRoot();
  std::optional<uid_t> user() const;

  TempDir dir_;
  std::filesystem::path home_;
  std::string relayURL_;
  Spawned relay_;
  Spawned agent_;
};

}  // namespace torvo::test
