#include "tests/test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace torvo::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "torvo-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void RecordingLog::info(Category category, std::string_view message) {
  std::lock_guard guard(mutex_);
  lines_.push_back({"info", category, std::string(message)});
}

void RecordingLog::error(Category category, std::string_view message) {
  std::lock_guard guard(mutex_);
  lines_.push_back({"error", category, std::string(message)});
}

void RecordingLog::debug(Category category, std::string_view message) {
  std::lock_guard guard(mutex_);
  lines_.push_back({"debug", category, std::string(message)});
}

std::vector<RecordingLog::Line> RecordingLog::lines() const {
  std::lock_guard guard(mutex_);
  return lines_;
}

bool RecordingLog::has(const std::string& level, const std::string& message) const {
  std::lock_guard guard(mutex_);
  for (const auto& line : lines_) {
    if (line.level == level && line.message == message) return true;
  }
  return false;
}

ProcessResult run(const std::vector<std::string>& argv, std::optional<uid_t> asUser,
                  const std::vector<std::string>& extraEnv) {
  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, 0);
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    if (asUser) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(nobodyGID) != 0 || ::setuid(*asUser) != 0) {
        ::_exit(126);
      }
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);

  ProcessResult result;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::filesystem::path program(const std::string& name) {
  return std::filesystem::path(TORVO_BIN_DIR) / name;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace torvo::test
