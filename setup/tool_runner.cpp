#include "setup/tool_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "setup/report_text.h"

extern char** environ;

namespace torvo::ToolRunner {
namespace {

// Owns one file descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Spawn settings: a process group of its own (so the time limit reaches the tool's children
// too), no blocked signals and default signal handling whatever the agent set for itself.
class SpawnSettings {
 public:
  explicit SpawnSettings(int outputFD) {
    posix_spawn_file_actions_init(&actions_);
    posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions_, outputFD, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_init(&attributes_);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setsigdefault(&attributes_, &all);
    posix_spawnattr_setpgroup(&attributes_, 0);
    posix_spawnattr_setflags(&attributes_,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;
  ~SpawnSettings() {
    posix_spawnattr_destroy(&attributes_);
    posix_spawn_file_actions_destroy(&actions_);
  }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

// Kills the tool's process group when the time limit passes before `finish()`. The tool is
// reaped only after `finish()`, so the group id cannot have been reused when the signal goes.
class Deadline {
 public:
  Deadline(pid_t pid, std::optional<std::int64_t> seconds) {
    if (!seconds) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(*seconds);
    thread_ = std::thread([this, pid, until] {
      std::unique_lock lock(mutex_);
      if (!finished_.wait_until(lock, until, [this] { return done_; })) ::kill(-pid, SIGKILL);
    });
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;
  ~Deadline() { finish(); }

  void finish() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    finished_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  std::thread thread_;
};

std::string readAll(int fd) {
  std::string bytes;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      bytes.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return bytes;
    }
  }
}

}  // namespace

ToolResult capture(const std::string& executable, const std::vector<std::string>& arguments,
                   std::optional<std::int64_t> timeout) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return {};
  Descriptor readEnd(ends[0]);
  Descriptor writeEnd(ends[1]);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  {
    const SpawnSettings settings(writeEnd.get());
    if (::posix_spawn(&pid, executable.c_str(), settings.actions(), settings.attributes(),
                      argv.data(), environ) != 0) {
      return {};
    }
  }
  writeEnd.reset();

  Deadline deadline(pid, timeout);
  std::string bytes = readAll(readEnd.get());
  // Wait for the exit without reaping, stop the timer, then reap.
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  deadline.finish();
  int raw = 0;
  pid_t reaped = 0;
  while ((reaped = ::waitpid(pid, &raw, 0)) < 0 && errno == EINTR) {
  }

  ToolResult result;
  if (reaped != pid) {
    result.status = -1;  // the status was lost (for example SIGCHLD ignored): no success
  } else if (WIFEXITED(raw)) {
    result.status = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    result.status = WTERMSIG(raw);
  }
  result.output = ReportText::decodeUTF8(bytes);
  return result;
}

}  // namespace torvo::ToolRunner
