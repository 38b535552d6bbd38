#include "setup/tool_runner.h"

#include <gtest/gtest.h>

#include <chrono>

namespace torvo {
namespace {

TEST(ToolRunnerTest, ReturnsOutputAndExitStatus) {
  EXPECT_EQ(ToolRunner::capture("/bin/echo", {"hello", "world"}), (ToolResult{0, "hello world\n"}));
  // Standard error goes nowhere; only standard output is captured.
  EXPECT_EQ(ToolRunner::capture("/bin/sh", {"-c", "echo out; echo err >&2; exit 3"}),
            (ToolResult{3, "out\n"}));
}

TEST(ToolRunnerTest, StandardInputIsTheNullDevice) {
  EXPECT_EQ(ToolRunner::capture("/bin/sh", {"-c", "cat; echo end"}), (ToolResult{0, "end\n"}));
}

TEST(ToolRunnerTest, MissingExecutableGivesMinusOneAndNoOutput) {
  EXPECT_EQ(ToolRunner::capture("/nonexistent/tool", {"x"}), (ToolResult{-1, ""}));
  EXPECT_EQ(ToolRunner::capture("/usr/bin/sfltool", {"dumpbtm"}, 15), (ToolResult{-1, ""}));
}

TEST(ToolRunnerTest, ReadsOutputLargerThanAPipeBuffer) {
  const auto result = ToolRunner::capture("/bin/sh", {"-c", "head -c 1000000 /dev/zero | tr '\\0' a"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, std::string(1000000, 'a'));
}

TEST(ToolRunnerTest, InvalidUTF8IsReplaced) {
  const auto result = ToolRunner::capture("/bin/sh", {"-c", "printf 'a\\377b\\303'"});
  EXPECT_EQ(result.output, "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(ToolRunnerTest, TimeLimitKillsTheToolAndWhatItStarted) {
  const auto start = std::chrono::steady_clock::now();
  // The shell's child keeps the output pipe open after the shell itself has gone, so only a
  // kill that reaches the whole process group ends the read.
  const auto result =
      ToolRunner::capture("/bin/sh", {"-c", "echo before; sleep 30 & sleep 30"}, 1);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result, (ToolResult{9, "before\n"}));
  EXPECT_LT(elapsed, std::chrono::seconds(20));
}

TEST(ToolRunnerTest, TimeLimitLeavesAQuickToolAlone) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ToolRunner::capture("/bin/sh", {"-c", "exit 0"}, 30), (ToolResult{0, ""}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20))
      << "the caller does not wait for the timer";
}

TEST(ToolRunnerTest, ToolEndedByASignalReportsItsNumber) {
  EXPECT_EQ(ToolRunner::capture("/bin/sh", {"-c", "kill -TERM $$"}).status, 15);
}

}  // namespace
}  // namespace torvo
