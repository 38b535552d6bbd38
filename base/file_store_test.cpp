#include "base/file_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <stop_token>
#include <thread>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace torvo {
namespace {

using Kind = FileStoreError::Kind;
namespace fs = std::filesystem;

class FileStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ::umask(022); }

  fs::path makeFile(const std::string& name, const std::string& bytes, mode_t mode = 0600) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    ::chmod(path.c_str(), mode);
    return path;
  }

  static mode_t modeOf(const fs::path& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_mode & 07777;
  }

  template <class F>
  static FileStoreError errorOf(F&& f) {
    try {
      f();
    } catch (const FileStoreError& error) {
      return error;
    }
    ADD_FAILURE() << "no FileStoreError thrown";
    return FileStoreError(Kind::io, "", 0);
  }

  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_.path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  test::TempDir dir_;
  FileStore store_{::getuid()};
};

TEST_F(FileStoreTest, ReadsTrustedFilesAndTreatsMissingAsNothing) {
  EXPECT_EQ(store_.read(dir_ / "missing.json"), std::nullopt);
  EXPECT_EQ(store_.read(makeFile("a", "hello", 0600)), "hello");
  EXPECT_EQ(store_.read(makeFile("b", "world", 0644)), "world");
}

TEST_F(FileStoreTest, RefusesFilesThatCannotBeTrusted) {
  const fs::path good = makeFile("good", "x");
  const fs::path link = dir_ / "link";
  fs::create_symlink(good, link);
  fs::create_directory(dir_ / "dir");

  struct Case {
    fs::path path;
    Kind kind;
    int code;
  };
  const Case cases[] = {
      {link, Kind::io, ELOOP},
      {dir_ / "dir", Kind::notRegularFile, 0},
      {makeFile("group-writable", "x", 0664), Kind::unsafeMode, 0},
      {makeFile("other-writable", "x", 0646), Kind::unsafeMode, 0},
      {makeFile("too-big", std::string(FileStore::maxFileBytes + 1, 'x')), Kind::io, EFBIG},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.string());
    const FileStoreError error = errorOf([&] { store_.read(c.path); });
    EXPECT_EQ(error, FileStoreError(c.kind, c.path, c.code));
  }
}

TEST_F(FileStoreTest, AcceptsExactlyOneMebibyte) {
  const fs::path path = makeFile("limit", std::string(FileStore::maxFileBytes, 'x'));
  EXPECT_EQ(store_.read(path)->size(), 1048576u);
}

TEST_F(FileStoreTest, RefusesFileOfAnotherOwner) {
  if (::getuid() != 0) GTEST_SKIP() << "chown to another user needs root";
  const fs::path path = makeFile("planted", "x");
  ASSERT_EQ(::chown(path.c_str(), test::nobodyUID, test::nobodyGID), 0);
  EXPECT_EQ(errorOf([&] { store_.read(path); }), FileStoreError(Kind::unsafeOwner, path));
}

TEST_F(FileStoreTest, RefusesAFifoWithoutWaitingForAWriter) {
  const fs::path fifo = dir_ / "state.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  // Should the read block in open, a writer appears after a few seconds and lets it go on,
  // so that the fault shows as a failure instead of a hung test.
  std::atomic<bool> released = false;
  std::jthread guard([&](std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    if (wake.wait_for(lock, stop, std::chrono::seconds(5), [] { return false; }) ||
        stop.stop_requested()) {
      return;
    }
    released = true;
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
  });
  const FileStoreError error = errorOf([&] { store_.read(fifo); });
  guard.request_stop();
  guard.join();
  EXPECT_FALSE(released) << "the read waited for a writer";
  EXPECT_EQ(error, FileStoreError(Kind::notRegularFile, fifo));
}

TEST_F(FileStoreTest, DescriptionsNameThePath) {
  EXPECT_EQ(FileStoreError(Kind::unsafeOwner, "/d/f").description(), "/d/f has the wrong owner");
  EXPECT_EQ(FileStoreError(Kind::unsafeMode, "/d/f").description(), "/d/f is writable by others");
  EXPECT_EQ(FileStoreError(Kind::notRegularFile, "/d/f").description(),
            "/d/f is not a regular file");
  EXPECT_EQ(FileStoreError(Kind::io, "/d/f", EFBIG).description(), "/d/f: File too large");
}

TEST_F(FileStoreTest, WriteReplacesAtomicallyWithTheGivenMode) {
  const fs::path path = dir_ / "state.json";
  ::umask(077);  // the mode must not depend on the process's mask
  store_.write("first", path, 0644);
  store_.write("second", path, 0644);
  EXPECT_EQ(modeOf(path), 0644u);
  EXPECT_EQ(store_.read(path), "second");
  EXPECT_EQ(entries(), std::vector<std::string>{"state.json"});
}

TEST_F(FileStoreTest, WriteNeverReusesALeftoverTemporaryFile) {
  const fs::path path = makeFile("devices.json", "old");
  FileStore fixed(::getuid(), [] { return 42u; });
  const fs::path leftover =
      makeFile("devices.json.tmp-" + std::to_string(::getpid()) + "-42", "half");

  EXPECT_EQ(errorOf([&] { fixed.write("new", path, 0600); }),
            FileStoreError(Kind::io, leftover, EEXIST));
  EXPECT_EQ(store_.read(path), "old");
  EXPECT_EQ(test::readFile(leftover), "half");
}

TEST_F(FileStoreTest, FailedRenameKeepsTheTargetAndRemovesTheTemporary) {
  const fs::path target = dir_ / "target";
  fs::create_directory(target);
  fs::create_directory(target / "child");  // a non-empty directory cannot be renamed over
  EXPECT_EQ(errorOf([&] { store_.write("x", target, 0600); }).kind(), Kind::io);
  EXPECT_TRUE(fs::is_directory(target / "child"));
  EXPECT_EQ(entries(), std::vector<std::string>{"target"});
}

TEST_F(FileStoreTest, WriteThroughASymlinkedTemporaryNameFails) {
  const fs::path path = dir_ / "config.json";
  const fs::path victim = makeFile("victim", "keep");
  FileStore fixed(::getuid(), [] { return 7u; });
  fs::create_symlink(victim, dir_ / ("config.json.tmp-" + std::to_string(::getpid()) + "-7"));
  EXPECT_EQ(errorOf([&] { fixed.write("x", path, 0644); }).kind(), Kind::io);
  EXPECT_EQ(test::readFile(victim), "keep");
}

TEST_F(FileStoreTest, JSONRoundTripIsSortedIndentedAndKeepsSlashes) {
  const fs::path path = dir_ / "devices.json";
  const nlohmann::json value = {{"zeta", 1}, {"alpha", "https://relay.example/a"}, {"name", "Zoë"}};
  store_.writeJSON(value, path, 0600);
  const std::string text = test::readFile(path);
  EXPECT_LT(text.find("\"alpha\""), text.find("\"name\""));
  EXPECT_LT(text.find("\"name\""), text.find("\"zeta\""));
  EXPECT_NE(text.find("https://relay.example/a"), std::string::npos);
  EXPECT_NE(text.find("\n  \"zeta\": 1"), std::string::npos);
  EXPECT_NE(text.find("Zoë"), std::string::npos);
  EXPECT_EQ(store_.readJSON(path), value);
  EXPECT_EQ(store_.readJSON(dir_ / "none.json"), std::nullopt);
}

TEST_F(FileStoreTest, ReadJSONPassesDecodingErrors) {
  const fs::path path = makeFile("broken.json", "{\"a\":");
  EXPECT_THROW(store_.readJSON(path), nlohmann::json::parse_error);
}

TEST_F(FileStoreTest, EnsureDirectoryCreatesEveryLevelWithTheMode) {
  const fs::path nested = dir_ / "a" / "b" / "c";
  store_.ensureDirectory(nested, 0700);
  for (const fs::path& p : {dir_ / "a", dir_ / "a" / "b", nested}) {
    EXPECT_EQ(modeOf(p), 0700u) << p;
  }
}

TEST_F(FileStoreTest, EnsureDirectoryTightensOnlyWritableDirectories) {
  const fs::path open = dir_ / "open";
  const fs::path privateDir = dir_ / "private";
  fs::create_directory(open);
  fs::create_directory(privateDir);
  ::chmod(open.c_str(), 0777);
  ::chmod(privateDir.c_str(), 0700);
  store_.ensureDirectory(open, 0755);
  store_.ensureDirectory(privateDir, 0755);
  EXPECT_EQ(modeOf(open), 0755u);
  EXPECT_EQ(modeOf(privateDir), 0700u);
}

TEST_F(FileStoreTest, EnsureDirectoryRefusesWrongKindsAndOwners) {
  const fs::path file = makeFile("file", "x");
  const fs::path real = dir_ / "real";
  fs::create_directory(real);
  fs::create_directory_symlink(real, dir_ / "link");
  EXPECT_EQ(errorOf([&] { store_.ensureDirectory(file, 0755); }),
            FileStoreError(Kind::notRegularFile, file));
  EXPECT_EQ(errorOf([&] { store_.ensureDirectory(dir_ / "link", 0755); }),
            FileStoreError(Kind::notRegularFile, dir_ / "link"));

  if (::getuid() != 0) return;
  const fs::path foreign = dir_ / "foreign";
  fs::create_directory(foreign);
  ::chmod(foreign.c_str(), 0777);
  ASSERT_EQ(::chown(foreign.c_str(), test::nobodyUID, test::nobodyGID), 0);
  EXPECT_EQ(errorOf([&] { store_.ensureDirectory(foreign, 0755); }),
            FileStoreError(Kind::unsafeOwner, foreign));
  EXPECT_EQ(modeOf(foreign), 0777u);
}

TEST_F(FileStoreTest, EnsureDirectoryPassesTheSystemErrorWhenCreationFails) {
  const fs::path blocked = makeFile("blocker", "x") / "sub";
  EXPECT_THROW(store_.ensureDirectory(blocked, 0755), std::system_error);
}

}  // namespace
}  // namespace torvo
