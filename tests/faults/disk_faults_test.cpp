// The agent's data folder turns read-only or fills up while the desktop app changes the
// interval and ends a Wake. Each failed save is logged as "couldn't save a file (…)", the files
// on disk stay exactly as they were (no temporary file left either), the agent answers with the
// new values it keeps in memory, and once the folder can be written again the next save of the
// cycle writes them.
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "base/file_store.h"
#include "model/model.h"
#include "relay_server/relay_server.h"
#include "tests/faults/agent_process.h"

namespace torvo {
namespace {

namespace fs = std::filesystem;

class FaultDisk : public ::testing::Test {
 protected:
  void SetUp() override { relayURL_ = "http://127.0.0.1:" + std::to_string(relay_.start()); }

  nlohmann::json status() {
    const auto result = agent_->ctl({"status", "--json"});
    EXPECT_EQ(result.status, 0) << result.err;
    return nlohmann::json::parse(result.out, nullptr, false);
  }

  // The temporary files in the data folder, by name.
  std::vector<std::string> temporaryFiles() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(agent_->data())) {
      const std::string name = entry.path().filename().string();
      if (name.find(".tmp-") != std::string::npos) names.push_back(name);
    }
    return names;
  }

  // Waits until "state.json" is replaced by a new file; false when it is not within 10 seconds.
  bool waitForNextSave() {
    const auto inode = [&] {
      struct stat st {};
      return ::stat((agent_->data() / "state.json").c_str(), &st) == 0 ? st.st_ino : 0;
    };
    const auto before = inode();
    for (int i = 0; i < 10000; ++i) {
      if (inode() != before) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  // Runs the agent with a Wake and an interval of 30 minutes on disk, injects the fault, asks
  // for 60 minutes and the end of the Wake, then lifts the fault and waits for the cycle's
  // next save.
  void saveThroughAFault(const std::function<void()>& inject, const std::function<void()>& lift,
                         int code) {
    ASSERT_TRUE(agent_->start()) << agent_->log();
    ASSERT_EQ(agent_->ctl({"wake", "2"}).status, 0);
    ASSERT_EQ(agent_->ctl({"interval", "30"}).status, 0);
    // The timer saves the state every two seconds; the fault goes in right after one such save,
    // not in the middle of it (a rename into a folder turned read-only meanwhile fails, and the
    // temporary file then cannot be removed either).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(waitForNextSave());
    const std::string config = test::readFile(agent_->data() / "config.json");
    const std::string state = test::readFile(agent_->data() / "state.json");
    ASSERT_NE(state.find("awakeUntil"), std::string::npos) << state;
    inject();
    EXPECT_EQ(agent_->ctl({"interval", "60"}).status, 0);
    EXPECT_EQ(agent_->ctl({"end"}).status, 0);

    const std::string log = agent_->log();
    for (const char* file : {"config.json", "state.json"}) {
      const std::string line = "[agent] error: couldn't save a file (" +
                               (agent_->data() / file).string() + ".tmp-";
      const auto at = log.find(line);
      ASSERT_NE(at, std::string::npos) << line << "\n" << log;
      const auto end = log.find('\n', at);
      EXPECT_TRUE(log.substr(at, end - at).ends_with(std::string(": ") + std::strerror(code) + ")"))
          << log.substr(at, end - at);
    }
    EXPECT_EQ(test::readFile(agent_->data() / "config.json"), config);
    EXPECT_EQ(test::readFile(agent_->data() / "state.json"), state);
    EXPECT_EQ(temporaryFiles(), std::vector<std::string>{});
    const auto now = status();
    EXPECT_EQ(now["config"]["checkIn"], 60) << now;
    EXPECT_FALSE(now.contains("awakeUntil")) << now;

    // The agent kept serving; the timer's next check-in saves the state it kept in memory.
    lift();
    bool saved = false;
    for (int i = 0; i < 200 && !saved; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      saved = test::readFile(agent_->data() / "state.json") != state;
    }
    ASSERT_TRUE(saved);
    const auto json = nlohmann::json::parse(test::readFile(agent_->data() / "state.json"), nullptr, false);
    const auto written = AgentStateFile::fromJSON(json);
    ASSERT_TRUE(written.has_value()) << json;
    EXPECT_LE(written->awakeUntil.value_or(0), std::time(nullptr));  // the Wake's end is on disk
    EXPECT_EQ(temporaryFiles(), std::vector<std::string>{});
    EXPECT_EQ(agent_->kill(SIGTERM).value_or(-1), 0);
  }

  RelayServer relay_{RelayServer::Options{}};
  std::string relayURL_;
  test::TempDir dir_;
  std::unique_ptr<test::AgentProcess> agent_;
};

TEST_F(FaultDisk, AReadOnlyDataFolder) {
  // The agent runs as the unprivileged user, for whom the folder's mode counts.
  agent_ = std::make_unique<test::AgentProcess>(dir_.path(), relayURL_);
  const fs::path data = agent_->data();
  saveThroughAFault([&] { ::chmod(data.c_str(), 0555); }, [&] { ::chmod(data.c_str(), 0755); },
                    EACCES);
}

// A tmpfs of 256 KiB as the data folder, filled up by a file of the test's.
TEST_F(FaultDisk, AFullDataFolder) {
  agent_ = std::make_unique<test::AgentProcess>(dir_.path(), relayURL_);
  const fs::path data = agent_->data();
  if (::mount("tmpfs", data.c_str(), "tmpfs", 0, "size=256k,mode=0755") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  struct Unmount {
    fs::path path;
    test::AgentProcess& agent;
    ~Unmount() {
      agent.kill(SIGKILL);
      ::umount2(path.c_str(), MNT_DETACH);
    }
  } unmount{data, *agent_};
  if (test::AgentProcess::isRoot()) {
    ASSERT_EQ(::chown(data.c_str(), test::nobodyUID, test::nobodyGID), 0);
  }
  const fs::path filler = dir_ / "home" / "data" / "filler";
  saveThroughAFault(
      [&] {
        std::ofstream out(filler, std::ios::binary);
        const std::string block(4096, 'f');
        while (out.write(block.data(), block.size()) && out.flush()) {
        }
      },
      [&] { fs::remove(filler); }, ENOSPC);
}

}  // namespace
}  // namespace torvo
