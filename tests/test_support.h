// Shared helpers for the unit and process tests: scratch folders, a log that records its
// lines, and running a program with captured output (optionally as an unprivileged user).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/agent_log.h"

namespace torvo::test {

// A fresh folder under the system's temporary folder, removed with everything in it when the
// value goes away.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// An AgentLog that writes nowhere and keeps every line, for assertions on log output.
class RecordingLog : public AgentLog {
 public:
  struct Line {
    std::string level;  // "info", "error" or "debug"
    Category category;
    std::string message;
  };

  RecordingLog() : AgentLog(std::nullopt, false) {}
  void info(Category category, std::string_view message) override;
  void error(Category category, std::string_view message) override;
  void debug(Category category, std::string_view message) override;

  std::vector<Line> lines() const;
  // True when some line has exactly this level and message.
  bool has(const std::string& level, const std::string& message) const;

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// The unprivileged user that process tests run as when the tests run as root.
inline constexpr uid_t nobodyUID = 65534;
inline constexpr gid_t nobodyGID = 65534;

// Runs `argv` to completion with standard input on /dev/null. With `asUser`, the child drops
// to that user and group first (the tests must run as root for that).
ProcessResult run(const std::vector<std::string>& argv,
                  std::optional<uid_t> asUser = std::nullopt,
                  const std::vector<std::string>& extraEnv = {});

// Path of a built program, for example program("torvo-agent").
std::filesystem::path program(const std::string& name);

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

}  // namespace torvo::test
