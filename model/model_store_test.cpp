#include "model/model_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "kit/pairing.h"
#include "tests/test_support.h"

namespace torvo {
namespace {

namespace fs = std::filesystem;

class ModelStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::umask(022);
    fs::create_directories(paths_.dataDir);
  }

  static mode_t modeOf(const fs::path& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 0777;
  }

  void plant(const fs::path& path, const std::string& text, mode_t mode = 0600) {
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
  }

  test::TempDir home_;
  AgentPaths paths_ = AgentPaths::simulate(home_.path());
  test::RecordingLog log_;
  ModelStore store_{paths_, log_};
};

TEST_F(ModelStoreTest, FirstStartMakesDevicesAndConfigOnly) {
  const LoadedModel model = store_.load("https://relay.example/");
  EXPECT_EQ(model.devices.relay, "https://relay.example");
  EXPECT_TRUE(Pairing::isValidTopic(model.devices.topic));
  EXPECT_TRUE(model.devices.devices.empty());
  EXPECT_EQ(model.config, AgentConfig());
  EXPECT_EQ(model.state, AgentStateFile());
  EXPECT_EQ(model.backup, std::nullopt);
  EXPECT_TRUE(log_.has("info", "created a new topic and an empty device list"));

  EXPECT_EQ(modeOf(paths_.devices()), 0600u);
  EXPECT_EQ(modeOf(paths_.config()), 0644u);
  EXPECT_FALSE(fs::exists(paths_.state()));
  EXPECT_FALSE(fs::exists(paths_.backup()));

  // A second start keeps the topic and logs nothing new.
  test::RecordingLog again;
  EXPECT_EQ(ModelStore(paths_, again).load("https://other.example").devices, model.devices);
  EXPECT_TRUE(again.lines().empty());
}

TEST_F(ModelStoreTest, ConfigIsNormalisedAndWrittenBackEveryStart) {
  plant(paths_.config(), R"({"checkIn":20,"awakeHoursDefault":99})", 0644);
  const LoadedModel model = store_.load("https://relay.example");
  EXPECT_EQ(model.config.checkInMinutes(), 15);
  EXPECT_EQ(model.config.awakeHoursDefault(), 24);
  const auto written = nlohmann::json::parse(test::readFile(paths_.config()));
  EXPECT_EQ(written, model.config.toJSON());
}

TEST_F(ModelStoreTest, SavedFilesLoadBackEqual) {
  LoadedModel model = store_.load("https://relay.example");
  model.devices.devices.push_back(PairedDevice{"abcdefghij", Bytes(32, 1), "Anna", 10, 20});
  model.state.awakeUntil = 5000;
  model.state.drops.role = 2;
  Backup backup(77);
  backup.updates["AutomaticDownload"] = std::nullopt;
  ASSERT_TRUE(store_.saveDevices(model.devices));
  ASSERT_TRUE(store_.saveState(model.state));
  ASSERT_TRUE(store_.saveBackup(backup));
  EXPECT_EQ(modeOf(paths_.state()), 0644u);
  EXPECT_EQ(modeOf(paths_.backup()), 0600u);

  const LoadedModel loaded = store_.load("https://ignored.example");
  EXPECT_EQ(loaded.devices, model.devices);
  EXPECT_EQ(loaded.state, model.state);
  EXPECT_EQ(loaded.backup, backup);

  store_.removeBackup();
  EXPECT_EQ(store_.load("https://ignored.example").backup, std::nullopt);
}

TEST_F(ModelStoreTest, FilesThatCannotBeTrustedOrReadStopTheLoadAndStayAsFound) {
  struct Case {
    const char* what;
    fs::path path;
    std::string text;
    mode_t mode;
  };
  const Case cases[] = {
      {"state not JSON", paths_.state(), "{broken", 0644},
      {"state without drops", paths_.state(), R"({"replay":{"seen":[]}})", 0644},
      {"devices writable by others", paths_.devices(), R"({"relay":"r","topic":"t","devices":[]})", 0666},
      {"devices missing topic", paths_.devices(), R"({"relay":"r","devices":[]})", 0600},
      {"config of the wrong kind", paths_.config(), R"({"checkIn":"often"})", 0644},
      {"backup without takenAt", paths_.backup(), R"({"pmset":{},"updates":{}})", 0600},
      {"backup with two screen locks", paths_.backup(),
       R"({"takenAt":1,"pmset":{},"updates":{},"screenLock":{"off":{},"immediate":{}}})", 0600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir home;
    const AgentPaths paths = AgentPaths::simulate(home.path());
    fs::create_directories(paths.dataDir);
    const fs::path path = paths.dataDir / c.path.filename();
    plant(path, c.text, c.mode);
    ::chmod(path.c_str(), c.mode);
    test::RecordingLog log;
    EXPECT_ANY_THROW(ModelStore(paths, log).load("https://relay.example"));
    EXPECT_EQ(test::readFile(path), c.text);
  }
}

TEST_F(ModelStoreTest, DecodeErrorsNameTheFile) {
  plant(paths_.state(), R"({"replay":{"seen":[]}})", 0644);
  try {
    store_.load("https://relay.example");
    FAIL() << "no error";
  } catch (const ModelDecodeError& error) {
    EXPECT_EQ(std::string(error.what()),
              paths_.state().string() + " couldn't be read: the value of \"drops\" is missing or wrong");
  }
}

TEST_F(ModelStoreTest, AOneKeyFailureSaysSo) {
  plant(paths_.backup(), R"({"takenAt":1,"pmset":{},"updates":{},"screenLock":{}})", 0600);
  try {
    store_.load("https://relay.example");
    FAIL() << "no error";
  } catch (const ModelDecodeError& error) {
    EXPECT_EQ(std::string(error.what()),
              paths_.backup().string() + " couldn't be read: Invalid number of keys found, expected one.");
  }
}

TEST_F(ModelStoreTest, AFailedSaveIsLoggedAndReported) {
  store_.load("https://relay.example");
  fs::create_directory(paths_.state());  // a directory where the file should be
  fs::create_directory(paths_.state() / "x");
  EXPECT_FALSE(store_.saveState(AgentStateFile()));
  const auto lines = log_.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().level, "error");
  EXPECT_TRUE(lines.back().message.starts_with("couldn't save a file (" + paths_.state().string()))
      << lines.back().message;
}

}  // namespace
}  // namespace torvo
