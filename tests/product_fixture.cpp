#include "tests/product_fixture.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace torvo::test {

namespace fs = std::filesystem;

Spawned::~Spawned() {
  if (pid_ > 0) stop(SIGKILL);
}

void Spawned::start(const std::vector<std::string>& argv, std::optional<uid_t> asUser,
                    const fs::path& errFile) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int devnull = ::open("/dev/null", O_RDONLY);
    const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(devnull, 0);
    ::dup2(pipeFds[1], 1);
    ::dup2(err, 2);
    if (asUser && (::setgroups(0, nullptr) != 0 || ::setgid(nobodyGID) != 0 || ::setuid(*asUser) != 0)) {
      ::_exit(126);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  out_ = pipeFds[0];
}

bool Spawned::waitFor(const std::string& text, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (true) {
    if (const auto found = output_.find(text, matched_); found != std::string::npos) {
      matched_ = found + text.size();
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || out_ < 0) return false;
    pollfd fd{out_, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n <= 0) {
      ::close(out_);
      out_ = -1;
    } else {
      output_.append(buffer, static_cast<std::size_t>(n));
    }
  }
}

int Spawned::stop(int signal) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  if (out_ >= 0) ::close(out_);
  out_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ProductTest::isRoot() { return ::getuid() == 0; }

std::optional<uid_t> ProductTest::user() const {
  return isRoot() ? std::optional<uid_t>(nobodyUID) : std::nullopt;
}

void ProductTest::SetUp() {
  ::chmod(dir_.path().c_str(), 0755);
  for (const char* name : {"torvo-agent", "torvo-relay", "torvo-ctl", "torvo-phone"}) {
    fs::copy_file(program(name), dir_ / name);
    ::chmod((dir_ / name).c_str(), 0755);
  }
  home_ = dir_ / "home";
  for (const auto& folder : {home_, dir_ / "phone"}) {
    fs::create_directory(folder);
    ::chmod(folder.c_str(), 0700);
    if (isRoot()) {
      ASSERT_EQ(::chown(folder.c_str(), nobodyUID, nobodyGID), 0);
    }
  }
  startRelay();
  startAgent();
}

void ProductTest::TearDown() {
  if (agent_.pid() > 0) {
    EXPECT_EQ(stopAgent(), 0) << agentLog();
  }
  relay_.stop(SIGTERM);
}

void ProductTest::startRelay() {
  relay_.start({(dir_ / "torvo-relay").string(), "--listen", "127.0.0.1:0"}, user(),
               dir_ / "relay.err");
  ASSERT_TRUE(relay_.waitFor("listening on http://", 10)) << readFile(dir_ / "relay.err");
  const auto& out = relay_.output();
  const auto start = out.find("http://");
  relayURL_ = out.substr(start, out.find('\n', start) - start);
}

void ProductTest::startAgent() {
  fs::remove(home_ / "agent.sock");
  agent_.start({(dir_ / "torvo-agent").string(), "--simulate", "--home", home_.string(),
                "--relay", relayURL_, "--poll-seconds", "2"},
               user(), dir_ / "agent.err");
  for (int i = 0; i < 400 && !fs::exists(home_ / "agent.sock"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_TRUE(fs::exists(home_ / "agent.sock")) << readFile(dir_ / "agent.err");
}

int ProductTest::stopAgent() { return agent_.stop(SIGTERM); }

ProcessResult ProductTest::ctl(const std::vector<std::string>& args) {
  std::vector<std::string> argv{(dir_ / "torvo-ctl").string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, user(), {"TORVO_AGENT_SOCKET=" + (home_ / "agent.sock").string(), "TZ=UTC"});
}

ProcessResult ProductTest::phone(const std::vector<std::string>& args) {
  std::vector<std::string> argv{(dir_ / "torvo-phone").string(), "--state",
                                (dir_ / "phone").string(), "--name", "Test phone",
                                "--timeout", "20"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, user(), {"TZ=UTC"});
}

nlohmann::json ProductTest::status() {
  const auto result = ctl({"status", "--json"});
  EXPECT_EQ(result.status, 0) << result.err;
  return nlohmann::json::parse(result.out, nullptr, false);
}

Pairing ProductTest::pairPhone() {
  const auto code = ctl({"pair"});
  EXPECT_EQ(code.status, 0) << code.err;
  const auto start = code.out.find("torvo://pair?");
  EXPECT_NE(start, std::string::npos) << code.out;
  if (start == std::string::npos) return {};
  const auto link = code.out.substr(start, code.out.find_first_of(" \n", start) - start);
  const auto paired = phone({"pair", link});
  EXPECT_EQ(paired.status, 0) << paired.out << paired.err << agentLog();
  EXPECT_NE(paired.out.find("state: asleep"), std::string::npos) << paired.out;
  return Pairing::fromString(link).value_or(Pairing{});
}

std::string ProductTest::agentLog() const { return readFile(home_ / "logs" / "agent.log"); }

}  // namespace torvo::test
