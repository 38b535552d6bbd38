// The built agent as a process of its own, for the fault tests that kill it, starve its disk or
// abuse its socket: torvo-agent in simulate mode in a scratch home, as the unprivileged user
// when the tests run as root, against a relay given by the test; torvo-ctl as the same user.
// Also the process figures the tests watch (open descriptors, resident memory) and a guard
// that lets one thread of the test connect as the unprivileged user.
// Used from the test's main thread; `ctl` may be called from any thread.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace torvo::test {

class AgentProcess {
 public:
  // Copies the programs into `dir` (made enterable for the unprivileged user) and makes the
  // agent's home there, owned by the user the agent runs as.
  AgentProcess(const std::filesystem::path& dir, std::string relay)
      : dir_(dir), home_(dir / "home"), relay_(std::move(relay)) {
    ::chmod(dir_.c_str(), 0755);
    for (const char* name : {"torvo-agent", "torvo-ctl"}) {
      std::filesystem::copy_file(program(name), dir_ / name,
                                 std::filesystem::copy_options::overwrite_existing);
      ::chmod((dir_ / name).c_str(), 0755);
    }
    std::filesystem::create_directories(home_ / "data");
    if (isRoot()) {
      for (const auto& folder : {home_, home_ / "data"}) {
        EXPECT_EQ(::chown(folder.c_str(), nobodyUID, nobodyGID), 0);
      }
    }
  }

  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;
  ~AgentProcess() { kill(SIGKILL); }

  static bool isRoot() { return ::getuid() == 0; }

  // Starts the agent and waits until its socket answers; false when it never does.
  bool start() {
    ::unlink(socket().c_str());  // a killed agent leaves its socket file behind
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      const int devnull = ::open("/dev/null", O_RDWR);  // the agent echoes its log to stderr
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
      if (isRoot() && (::setgroups(0, nullptr) != 0 || ::setgid(nobodyGID) != 0 ||
                       ::setuid(nobodyUID) != 0)) {
        ::_exit(126);
      }
      const std::string agent = (dir_ / "torvo-agent").string();
      ::execl(agent.c_str(), agent.c_str(), "--simulate", "--home", home_.c_str(), "--relay",
              relay_.c_str(), "--poll-seconds", "2", nullptr);
      ::_exit(127);
    }
    for (int i = 0; i < 400; ++i) {
      if (std::filesystem::exists(socket()) && ctl({"status"}).status == 0) return true;
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }

  // Sends `signal` and waits for the process; its wait status, or nothing when none runs.
  std::optional<int> kill(int signal) {
    if (pid_ <= 0) return std::nullopt;
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

  // torvo-ctl with these arguments, as the agent's user.
  ProcessResult ctl(std::vector<std::string> args) const {
    args.insert(args.begin(), (dir_ / "torvo-ctl").string());
    return run(args, isRoot() ? std::optional<uid_t>(nobodyUID) : std::nullopt,
               {"TORVO_AGENT_SOCKET=" + socket().string(), "TZ=UTC"});
  }

  pid_t pid() const { return pid_; }
  const std::filesystem::path& home() const { return home_; }
  std::filesystem::path data() const { return home_ / "data"; }
  std::filesystem::path socket() const { return home_ / "agent.sock"; }
  std::string log() const { return readFile(home_ / "logs" / "agent.log"); }

  // Open descriptors of the process.
  std::size_t openDescriptors() const {
    std::size_t n = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
      ++n;
    }
    return n;
  }

  // Resident memory of the process in KiB.
  std::size_t residentKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.starts_with("VmRSS:")) return std::stoul(line.substr(6));
    }
    return 0;
  }

 private:
  std::filesystem::path dir_;
  std::filesystem::path home_;
  std::string relay_;
  pid_t pid_ = -1;
};

// While it lives, the calling thread alone acts as the unprivileged user (the raw system calls
// change one thread's credentials, unlike glibc's process-wide wrappers), so the sockets it
// connects carry that user's credentials. Needs root; does nothing otherwise.
class ThreadAsUnprivileged {
 public:
  ThreadAsUnprivileged() : active_(::geteuid() == 0) {
    if (!active_) return;
    EXPECT_EQ(::syscall(SYS_setresgid, -1, nobodyGID, -1), 0);
    EXPECT_EQ(::syscall(SYS_setresuid, -1, nobodyUID, -1), 0);
  }
  ThreadAsUnprivileged(const ThreadAsUnprivileged&) = delete;
  ThreadAsUnprivileged& operator=(const ThreadAsUnprivileged&) = delete;
  ~ThreadAsUnprivileged() {
    if (!active_) return;
    ::syscall(SYS_setresuid, -1, 0, -1);
    ::syscall(SYS_setresgid, -1, 0, -1);
  }

 private:
  bool active_;
};

}  // namespace torvo::test
