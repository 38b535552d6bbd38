#include "base/agent_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <systemd/sd-journal.h>

#include <cstdio>
#include <ctime>

#include "base/display_text.h"
#include "base/product.h"

namespace torvo {
namespace {

// The journal stands in for the platform's unified log: the subsystem and category travel
// as fields of their own. Where no journal runs the call fails and nothing happens.
void toJournal(int priority, AgentLog::Category category, std::string_view message) {
  sd_journal_send("MESSAGE=%.*s", static_cast<int>(message.size()), message.data(),
                  "PRIORITY=%d", priority, "SYSLOG_IDENTIFIER=torvo-agent",
                  "TORVO_SUBSYSTEM=%.*s", static_cast<int>(Product::logSubsystem.size()),
                  Product::logSubsystem.data(), "TORVO_CATEGORY=%s",
                  std::string(AgentLog::categoryText(category)).c_str(), nullptr);
}

// "yyyy-MM-dd HH:mm:ss" in the system's current time zone, 24-hour clock.
std::string stamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[32];
  const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(buffer, n);
}

}  // namespace

AgentLog::AgentLog(std::optional<std::filesystem::path> file, bool echo)
    : file_(std::move(file)), echo_(echo) {}

std::string_view AgentLog::categoryText(Category category) {
  switch (category) {
    case Category::agent: return "agent";
    case Category::relay: return "relay";
    case Category::power: return "power";
    case Category::app: return "app";
  }
  return "agent";
}

void AgentLog::info(Category category, std::string_view message) {
  toJournal(LOG_INFO, category, message);
  writeLine(category, "", message);
}

void AgentLog::error(Category category, std::string_view message) {
  toJournal(LOG_ERR, category, message);
  writeLine(category, "error: ", message);
}

void AgentLog::debug(Category category, std::string_view message) {
  toJournal(LOG_DEBUG, category, message);
}

std::string AgentLog::device(std::string_view kid, const std::optional<std::string>& name) {
  const std::string cleaned = DisplayText::clean(name.value_or(""), maxName, "");
  if (cleaned.empty()) return std::string(kid);
  return cleaned + " (" + std::string(kid) + ")";
}

void AgentLog::writeLine(Category category, std::string_view prefix, std::string_view message) {
  // A NUL inside the message ends the text written; the line still ends with its line feed
  // so that the next line starts on a line of its own.
  const std::size_t nul = message.find('\0');
  if (nul != std::string_view::npos) message = message.substr(0, nul);

  std::string line = stamp();
  line += " [";
  line += categoryText(category);
  line += "] ";
  line += prefix;
  line += message;
  line += '\n';

  if (echo_) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
  if (file_) appendToFile(line);
}

void AgentLog::appendToFile(const std::string& line) {
  std::lock_guard guard(lock_);
  struct stat st {};
  if (::stat(file_->c_str(), &st) == 0 &&
      static_cast<std::size_t>(st.st_size) + line.size() > maxBytes) {
    rotate();
  }
  const int fd = ::open(file_->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t ignored = ::write(fd, line.data(), line.size());
  ::close(fd);
}

void AgentLog::rotate() {
  const std::string path = file_->string();
  for (int i = keep - 1; i >= 1; --i) {
    const std::string older = path + "." + std::to_string(i);
    if (i == keep - 1) {
      ::unlink(older.c_str());
    }
    const std::string source = i == 1 ? path : path + "." + std::to_string(i - 1);
    ::rename(source.c_str(), older.c_str());
  }
}

}  // namespace torvo
