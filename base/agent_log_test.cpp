#include "base/agent_log.h"

#include <sys/stat.h>

#include <fstream>
#include <regex>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace torvo {
namespace {

namespace fs = std::filesystem;
using Category = AgentLog::Category;

// "yyyy-MM-dd HH:mm:ss" + " [agent] " + message + "\n"
constexpr std::size_t stampAndAgentTag = 19 + 9 + 1;

class AgentLogTest : public ::testing::Test {
 protected:
  void fill(const fs::path& path, std::size_t bytes) {
    std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
  }
  std::uintmax_t sizeOf(const fs::path& path) { return fs::file_size(path); }

  test::TempDir dir_;
  fs::path file_ = dir_ / "agent.log";
  AgentLog log_{file_, false};
};

TEST_F(AgentLogTest, WritesStampedLinesWithCategoryAndErrorPrefix) {
  log_.info(Category::relay, "polled 2 events");
  log_.error(Category::agent, "x");
  const std::string text = test::readFile(file_);
  const std::regex expected(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[relay\] polled 2 events\n)"
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[agent\] error: x\n)");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
  struct stat st {};
  ::stat(file_.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(AgentLogTest, DebugNeverTouchesTheFile) {
  log_.debug(Category::relay, "dropped a message");
  EXPECT_FALSE(fs::exists(file_));
}

TEST_F(AgentLogTest, RotatesOnlyWhenTheLineWouldPassTheLimit) {
  const std::string message(100, 'm');
  const std::size_t line = stampAndAgentTag + message.size();

  fill(file_, AgentLog::maxBytes - line);  // the sum is exactly 1 MiB: no rotation
  log_.info(Category::agent, message);
  EXPECT_EQ(sizeOf(file_), AgentLog::maxBytes);
  EXPECT_FALSE(fs::exists(dir_ / "agent.log.1"));

  log_.info(Category::agent, message);  // one more line passes the limit
  EXPECT_EQ(sizeOf(dir_ / "agent.log.1"), AgentLog::maxBytes);
  EXPECT_EQ(sizeOf(file_), line);
}

TEST_F(AgentLogTest, KeepsThreeFilesAcrossRotations) {
  const std::string big(600, 'b');
  for (int round = 1; round <= 3; ++round) {
    fill(file_, 1048000);
    std::ofstream(file_, std::ios::app) << "round " << round;
    log_.info(Category::agent, big);
  }
  EXPECT_NE(test::readFile(dir_ / "agent.log.1").find("round 3"), std::string::npos);
  EXPECT_NE(test::readFile(dir_ / "agent.log.2").find("round 2"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir_ / "agent.log.3"));
  EXPECT_EQ(sizeOf(file_), stampAndAgentTag + big.size());
}

TEST_F(AgentLogTest, ANulEndsTheTextButNotTheLine) {
  log_.info(Category::app, std::string("before\0after", 12));
  log_.info(Category::app, "next");
  const std::string text = test::readFile(file_);
  EXPECT_NE(text.find("[app] before\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("after"), std::string::npos);
  EXPECT_NE(text.find("[app] next\n"), std::string::npos);
}

TEST_F(AgentLogTest, AnUnwritableFileLosesOnlyTheFileLine) {
  fs::create_directory(file_);  // a directory where the file should be
  testing::internal::CaptureStderr();
  AgentLog echoing(file_, true);
  echoing.info(Category::power, "holding the Mac awake");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("[power] holding the Mac awake\n"),
            std::string::npos);
}

TEST(AgentLogEcho, WithoutAFileLinesGoToStandardErrorOnly) {
  AgentLog log(std::nullopt, true);
  testing::internal::CaptureStderr();
  log.error(Category::app, "bad frame");
  log.debug(Category::app, "hidden");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_match(err, std::regex(R"(\S+ \S+ \[app\] error: bad frame\n)"))) << err;
}

TEST(AgentLogDevice, NamesAPhoneByCleanedNameAndKid) {
  struct Case {
    std::optional<std::string> name;
    std::string expected;
  };
  const Case cases[] = {
      {std::nullopt, "k1"},
      {"", "k1"},
      {"\x01\t \u200B \x7f", "k1"},
      {"  Anna\u200B's phone ", "Anna's phone (k1)"},
      {std::string(50, 'a'), std::string(40, 'a') + " (k1)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AgentLog::device("k1", c.name), c.expected) << c.name.value_or("<none>");
  }
}

}  // namespace
}  // namespace torvo
