// torvo-relay as a process: its first output line, a round trip through it, and its exit.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>

#include "kit/ntfy_client.h"
#include "tests/test_support.h"

namespace torvo {
namespace {

// torvo-relay started with its standard output on a pipe.
class RelayProcess {
 public:
  explicit RelayProcess(const std::vector<std::string>& args) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      const auto path = test::program("torvo-relay").string();
      std::vector<char*> argv{const_cast<char*>(path.c_str())};
      for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      ::execv(path.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    output_ = out[0];
  }

  ~RelayProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(output_);
  }

  // The first line of standard output (without its line feed).
  std::string firstLine() {
    std::string line;
    char c = 0;
    while (::read(output_, &c, 1) == 1 && c != '\n') line.push_back(c);
    return line;
  }

  // Sends `signal` and returns the exit status.
  int stop(int signal) {
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
};

TEST(TorvoRelay, AnnouncesItsAddressServesAndStopsOnSignal) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    RelayProcess relay({"--listen", "127.0.0.1:0", "--keepalive", "2"});
    const auto line = relay.firstLine();
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, std::regex(R"(listening on (http://127\.0\.0\.1:(\d+)))")))
        << line;
    EXPECT_NE(match[2], "0");

    NtfyClient client(match[1], "demo-topic", std::make_shared<const HttpSession>());
    HttpCancel cancel;
    const auto id = client.publish("through the process", cancel);
    ASSERT_TRUE(id);
    const auto events = client.poll(NtfySince::all(), cancel);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, *id);
    EXPECT_EQ(events[0].message, "through the process");

    EXPECT_EQ(relay.stop(signal), 0);
  }
}

TEST(TorvoRelay, RefusesUnknownArgumentsAndUnusableAddresses) {
  const auto usage = test::run({test::program("torvo-relay").string(), "--port", "80"});
  EXPECT_EQ(usage.status, 64);
  EXPECT_NE(usage.err.find("usage: torvo-relay [--listen HOST:PORT] [--keepalive SECONDS]"),
            std::string::npos);
  const auto help = test::run({test::program("torvo-relay").string(), "--listen", "x", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: torvo-relay", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("--keepalive SECONDS"), std::string::npos);
  const auto unbindable =
      test::run({test::program("torvo-relay").string(), "--listen", "192.0.2.1:0"});
  EXPECT_EQ(unbindable.status, 1);
  EXPECT_NE(unbindable.err.find("cannot listen on 192.0.2.1:0"), std::string::npos);
}

}  // namespace
}  // namespace torvo
