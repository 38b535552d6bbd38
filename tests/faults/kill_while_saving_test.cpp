// The agent killed with SIGKILL at random moments while the desktop app keeps changing the
// check-in interval and starting and ending Wakes, each change saved at once. After every kill
// each data file parses and holds either the value of the last change the app saw answered or
// that of the change in flight when the agent died, and the agent starts again on those files.
#include <cstdio>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "base/file_store.h"
#include "kit/config.h"
#include "model/model.h"
#include "relay_server/relay_server.h"
#include "tests/faults/agent_process.h"

namespace torvo {
namespace {

namespace fs = std::filesystem;

// What the data files say, read the way the agent reads them at start.
struct OnDisk {
  std::int64_t checkInMinutes = 0;
  bool awake = false;
};

template <class Record>
std::optional<Record> decodeFile(const FileStore& store, const fs::path& path) {
  const auto bytes = store.read(path);
  if (!bytes) return std::nullopt;
  const auto json = nlohmann::json::parse(*bytes, nullptr, false);
  EXPECT_FALSE(json.is_discarded()) << path << ":\n" << *bytes;
  auto record = Record::fromJSON(json);
  EXPECT_TRUE(record.has_value()) << path << ":\n" << *bytes;
  if (!record) return std::nullopt;
  return *record;
}

OnDisk readDisk(const test::AgentProcess& agent) {
  const FileStore store(test::AgentProcess::isRoot() ? test::nobodyUID : ::getuid());
  EXPECT_TRUE(decodeFile<DevicesFile>(store, agent.data() / "devices.json").has_value());
  const auto config = decodeFile<AgentConfig>(store, agent.data() / "config.json");
  EXPECT_TRUE(config.has_value());
  const auto state = decodeFile<AgentStateFile>(store, agent.data() / "state.json");
  OnDisk disk;
  disk.checkInMinutes = config ? config->checkInMinutes() : 0;
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch()).count();
  disk.awake = state && state->awakeUntil && *state->awakeUntil > now;
  return disk;
}

// One change the app asks for: an interval, or a Wake started (true) or ended (false).
struct Change {
  std::optional<std::int64_t> minutes;
  std::optional<bool> wake;
  std::vector<std::string> args;
};

TEST(FaultKill, EveryFileIsTheOldOrTheNewVersionAfterASigkill) {
  RelayServer relay{RelayServer::Options{}};
  const std::string relayURL = "http://127.0.0.1:" + std::to_string(relay.start());
  test::TempDir dir;
  test::AgentProcess agent(dir.path(), relayURL);

  const std::vector<Change> changes = {
      {30, std::nullopt, {"interval", "30"}}, {std::nullopt, true, {"wake", "2"}},
      {60, std::nullopt, {"interval", "60"}}, {std::nullopt, false, {"end"}},
      {15, std::nullopt, {"interval", "15"}}, {std::nullopt, true, {"wake", "1"}},
  };
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);

  constexpr int rounds = 30;
  int answered = 0;
  int leftovers = 0;
  OnDisk before{15, false};
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_TRUE(agent.start()) << agent.log();
    if (round > 0) {
      const OnDisk now = readDisk(agent);
      EXPECT_EQ(now.checkInMinutes, before.checkInMinutes);
    }

    // The app sends changes one after another until the agent is gone; the first change that
    // fails was in flight at the kill (its save may or may not have happened).
    std::vector<std::size_t> sent;
    std::size_t next = random() % changes.size();
    std::thread app([&] {
      for (std::size_t i = next;; i = (i + 1) % changes.size()) {
        sent.push_back(i);
        if (agent.ctl(changes[i].args).status != 0) break;
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 400));
    const auto status = agent.kill(SIGKILL);
    app.join();
    ASSERT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);

    std::set<std::int64_t> minutes{before.checkInMinutes};
    std::set<bool> awake{before.awake};
    for (std::size_t k = 0; k < sent.size(); ++k) {
      const Change& change = changes[sent[k]];
      const bool inFlight = k + 1 == sent.size();
      if (!inFlight) ++answered;
      if (change.minutes) {
        if (!inFlight) minutes.clear();
        minutes.insert(*change.minutes);
      }
      if (change.wake) {
        if (!inFlight) awake.clear();
        awake.insert(*change.wake);
      }
    }
    const OnDisk disk = readDisk(agent);
    EXPECT_TRUE(minutes.contains(disk.checkInMinutes)) << disk.checkInMinutes;
    EXPECT_TRUE(awake.contains(disk.awake)) << disk.awake;
    before = disk;
  }
  for (const auto& entry : fs::directory_iterator(agent.data())) {
    leftovers += entry.path().filename().string().find(".tmp-") != std::string::npos;
  }

  // The last start proves the agent takes up the files once more.
  ASSERT_TRUE(agent.start()) << agent.log();
  EXPECT_EQ(readDisk(agent).checkInMinutes, before.checkInMinutes);
  EXPECT_EQ(WEXITSTATUS(agent.kill(SIGTERM).value_or(-1)), 0);
  RecordProperty("answeredChanges", answered);
  RecordProperty("temporaryFilesLeftBehind", leftovers);
  std::printf("FaultKill: %d kills, %d changes answered, %d temporary files left behind\n", rounds,
              answered, leftovers);
}

}  // namespace
}  // namespace torvo
