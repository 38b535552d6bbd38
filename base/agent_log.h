// base/ (torvo_base): what every part of the computer's side builds on: this log, the checked
// file store, the agent's paths and product names, the console user, display text and the JSON
// decoding helpers.
//
// AgentLog: the one logger of the agent process. Each info or error line goes to the system
// journal (with the product's subsystem and the category as fields), to an append-only file
// rotated above 1 MiB (three files kept) and, when `echo` is on, to standard error. Debug lines
// go to the journal only. Logging never fails towards the caller.
// Thread-safe: any thread may log; the file part runs under the log's own lock, which is the
// innermost lock of the process (nothing else is locked while it is held).
#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace torvo {

class AgentLog {
 public:
  enum class Category { agent, relay, power, app };

  static constexpr std::size_t maxBytes = 1024 * 1024;
  static constexpr int keep = 3;
  static constexpr std::size_t maxName = 40;

  AgentLog(std::optional<std::filesystem::path> file, bool echo);
  AgentLog(const AgentLog&) = delete;
  AgentLog& operator=(const AgentLog&) = delete;
  virtual ~AgentLog() = default;

  virtual void info(Category category, std::string_view message);
  virtual void error(Category category, std::string_view message);
  virtual void debug(Category category, std::string_view message);

  // How a paired phone is named in a log line: "<cleaned name> (<kid>)", or the kid alone
  // when the cleaned name is empty.
  static std::string device(std::string_view kid, const std::optional<std::string>& name);

  static std::string_view categoryText(Category category);

  const std::optional<std::filesystem::path>& file() const { return file_; }

 private:
  void writeLine(Category category, std::string_view prefix, std::string_view message);
  void appendToFile(const std::string& line);
  void rotate();

  const std::optional<std::filesystem::path> file_;
  const bool echo_;
  std::mutex lock_;
};

}  // namespace torvo
