#include "app_socket/socket_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "app_socket/agent_client.h"
#include "app_socket/socket_io.h"
#include "tests/test_support.h"

namespace torvo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kMalformed = "dropped a malformed local request";

std::string header(std::uint32_t size) {
  return {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
          static_cast<char>(size >> 8), static_cast<char>(size)};
}

AppResponse ok() { return AppResponse{AppResponses::Ok{}}; }
AppResponse badRequest() { return AppResponse{AppResponses::Refused{"Bad request"}}; }

// A server on its own io_context thread whose handler counts requests and answers "ok".
class SocketServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ::chmod(dir_.path().c_str(), 0755); }

  void TearDown() override {
    if (thread_.joinable()) {
      asio::post(io_, [this] { server_->stop(); });
      work_.reset();
      io_.stop();
      thread_.join();
    }
    server_.reset();
  }

  std::filesystem::path socketPath() const { return dir_ / "run/agent.sock"; }

  void startServer(PeerPolicy policy = {.uid = PeerPolicy::Exactly{::geteuid()}},
                   PeerPolicy::ConsoleLookup console = consoleUID) {
    server_ = std::make_unique<SocketServer>(
        io_.get_executor(), socketPath(), std::move(policy), log_,
        [this](AppRequest) -> asio::awaitable<AppResponse> {
          ++handled_;
          co_return ok();
        },
        std::move(console));
    server_->start(0666);
    thread_ = std::thread([this] { io_.run(); });
  }

  AgentClient::Result send(const AppRequest& request) {
    return AgentClient::blockingSend(request, socketPath(), 10);
  }

  // Connects, writes `bytes` and reads until the server closes; returns what arrived.
  // Unless `keepOpen`, the client's sending side is shut after the bytes.
  std::string exchangeRaw(const std::string& bytes, bool keepOpen = false) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const auto address = IO::sockaddr(socketPath().string());
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address), 0);
    if (!bytes.empty()) {
      EXPECT_TRUE(IO::writeAll(fd, bytes));
      if (!keepOpen) ::shutdown(fd, SHUT_WR);
    }
    std::string received;
    char buffer[4096];
    pollfd ready{.fd = fd, .events = POLLIN};
    while (::poll(&ready, 1, 15'000) == 1) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      received.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return received;
  }

  bool waitForLog(const std::string& message) {
    for (auto until = Clock::now() + 5s; Clock::now() < until; std::this_thread::sleep_for(10ms)) {
      if (log_.has("info", message)) return true;
    }
    return false;
  }

  test::TempDir dir_;
  test::RecordingLog log_;
  asio::io_context io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_{
      asio::make_work_guard(io_)};
  std::unique_ptr<SocketServer> server_;
  std::thread thread_;
  std::atomic<int> handled_{0};
};

TEST_F(SocketServerTest, AnswersRequestsWithinBoundsAndRefusesTheRest) {
  startServer();
  struct Case {
    AppRequest request;
    AppResponse response;
  };
  const Case cases[] = {
      {{AppRequests::GetStatus{}}, ok()},
      {{AppRequests::WakeNow{1000}}, ok()},
      {{AppRequests::WakeNow{-1000}}, ok()},
      {{AppRequests::WakeNow{1001}}, badRequest()},
      {{AppRequests::WakeNow{-1001}}, badRequest()},
      {{AppRequests::SetCheckIn{100000}}, ok()},
      {{AppRequests::SetCheckIn{100001}}, badRequest()},
      {{AppRequests::SetCheckIn{-100001}}, badRequest()},
      {{AppRequests::RemoveDevice{"abcdefghi0"}}, ok()},
      {{AppRequests::RemoveDevice{""}}, badRequest()},
      {{AppRequests::CancelPairing{"ABCDEFGHI0"}}, badRequest()},
      {{AppRequests::CancelPairing{"abcdefghi01"}}, badRequest()},
  };
  int expectedHandled = 0;
  for (const auto& c : cases) {
    if (c.response == ok()) ++expectedHandled;
    const auto result = send(c.request);
    ASSERT_TRUE(result) << AgentClient::describe(result.error());
    EXPECT_EQ(*result, c.response) << c.request.toJSON().dump();
  }
  EXPECT_EQ(handled_.load(), expectedHandled);
  EXPECT_FALSE(log_.has("info", kMalformed));
}

TEST_F(SocketServerTest, CreatesTheSocketWithTheGivenModeAndRemovesItOnStop) {
  startServer();
  struct stat info {};
  ASSERT_EQ(::lstat(socketPath().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0666u);
  std::promise<void> stopped;
  asio::post(io_, [&] {
    server_->stop();
    stopped.set_value();
  });
  stopped.get_future().wait();
  EXPECT_FALSE(std::filesystem::exists(socketPath()));
  EXPECT_EQ(send({AppRequests::GetStatus{}}), std::unexpected(AgentClient::Error(FrameError::connect(ENOENT))));
}

TEST_F(SocketServerTest, ReadsAFrameOfTheLargestSize) {
  startServer();
  std::string json = R"({"getStatus":{},"pad":")";
  json += std::string(Frame::maxBytes - json.size() - 2, 'x') + "\"}";
  ASSERT_EQ(json.size(), Frame::maxBytes);
  const std::string reply = exchangeRaw(header(65536) + json);
  EXPECT_EQ(reply, header(9) + R"({"ok":{}})");
}

TEST_F(SocketServerTest, DropsBrokenFramesWithoutAnswering) {
  startServer();
  struct Case {
    const char* name;
    std::string bytes;
    bool keepOpen = false;
  };
  const Case cases[] = {
      // Kept open: the header alone must be enough to refuse, without waiting for a body.
      {"header above the limit", header(65537), true},
      {"three header bytes", header(5).substr(0, 3)},
      {"body shorter than announced", header(10) + "{}"},
      {"not JSON", header(3) + "{{{"},
      {"empty payload", header(0)},
      {"no case name", header(8) + R"({"x":{}})"},
      {"two case names", header(31) + R"({"getStatus":{},"endWake":{}})"},
      {"hours missing", header(13) + R"({"wakeNow":{}})"},
  };
  for (const auto& c : cases) {
    const auto started = Clock::now();
    EXPECT_EQ(exchangeRaw(c.bytes, c.keepOpen), "") << c.name;
    EXPECT_LT(Clock::now() - started, 4s) << c.name;
    EXPECT_EQ(log_.lines().size(), static_cast<std::size_t>(&c - cases + 1)) << c.name;
  }
  EXPECT_TRUE(waitForLog(kMalformed));
  EXPECT_EQ(handled_.load(), 0);
}

TEST_F(SocketServerTest, DropsASilentClientAfterFiveSeconds) {
  startServer();
  const auto started = Clock::now();
  EXPECT_EQ(exchangeRaw(""), "");
  const auto elapsed = Clock::now() - started;
  EXPECT_GE(elapsed, 4500ms);
  EXPECT_LT(elapsed, 12s);
  EXPECT_TRUE(waitForLog(kMalformed));
}

TEST_F(SocketServerTest, ServesOthersWhileOneClientIsSilent) {
  startServer();
  const int silent = ::socket(AF_UNIX, SOCK_STREAM, 0);
  const auto address = IO::sockaddr(socketPath().string());
  ASSERT_EQ(::connect(silent, reinterpret_cast<const sockaddr*>(&*address), sizeof *address), 0);
  const auto started = Clock::now();
  EXPECT_EQ(send({AppRequests::GetStatus{}}), ok());
  EXPECT_LT(Clock::now() - started, 3s);
  ::close(silent);
}

TEST_F(SocketServerTest, RejectedPeerGetsNothingAndTheClientSeesPeerRejected) {
  startServer({.uid = PeerPolicy::Exactly{4242}});
  EXPECT_EQ(send({AppRequests::GetStatus{}}),
            std::unexpected(AgentClient::Error(FrameError(FrameError::Kind::peerRejected))));
  EXPECT_TRUE(waitForLog("rejected a local connection (uid " + std::to_string(::geteuid()) +
                         ", pid " + std::to_string(::getpid()) + "): wrong user"));
  EXPECT_EQ(handled_.load(), 0);
}

TEST_F(SocketServerTest, ConsoleRuleRefusesAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  startServer({.uid = PeerPolicy::ConsoleUser{}}, [] { return std::optional<std::uint32_t>(0); });
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(test::nobodyGID) != 0 || ::setuid(test::nobodyUID) != 0) ::_exit(2);
    const auto result = AgentClient::blockingSend({AppRequests::GetStatus{}}, socketPath(), 10);
    const bool rejected = !result && std::get<FrameError>(result.error()).kind() ==
                                         FrameError::Kind::peerRejected;
    ::_exit(rejected ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(waitForLog("rejected a local connection (uid 65534, pid " + std::to_string(child) +
                         "): not the console user"));
  // The console user itself gets through.
  EXPECT_EQ(send({AppRequests::GetStatus{}}), ok());
}

// The user is checked before the program: another user's peer is refused without its bundle
// being read, while the console user's peer has it read (and here fails the requirement).
TEST_F(SocketServerTest, AnotherUsersProgramIsNeverIdentified) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  const auto bundle = dir_ / "Torvo.app";
  const auto program = bundle / "Contents/MacOS/Torvo";
  const auto infoPlist = bundle / "Contents/Info.plist";
  std::filesystem::create_directories(program.parent_path());
  for (const auto& folder : {bundle, bundle / "Contents", program.parent_path()}) {
    ::chmod(folder.c_str(), 0755);
  }
  std::ofstream(infoPlist) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">"
                              "<dict><key>CFBundleIdentifier</key>"
                              "<string>com.example.Other</string></dict></plist>";
  std::filesystem::copy_file("/bin/sleep", program);
  ::chmod(program.c_str(), 0755);

  const auto console = std::make_shared<std::atomic<std::uint32_t>>(0);
  startServer({.uid = PeerPolicy::ConsoleUser{},
               .requirement = "identifier \"com.quorvantelix.Torvo\""},
              [console] { return std::optional<std::uint32_t>(console->load()); });
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(::inotify_add_watch(watch, infoPlist.c_str(), IN_OPEN), 0);

  struct Case {
    std::uint32_t console;
    std::string reason;
    bool bundleRead;
  };
  for (const Case& c : {Case{0, "not the console user", false},
                        Case{test::nobodyUID, "code signature doesn't match", true}}) {
    SCOPED_TRACE(c.reason);
    *console = c.console;
    int started[2];
    ASSERT_EQ(::pipe2(started, O_CLOEXEC), 0);
    // The server's thread waits until the child runs the bundle's program, so that the
    // connection is looked at only then.
    asio::post(io_, [fd = started[0]] {
      char byte = 0;
      while (::read(fd, &byte, 1) > 0) {
      }
    });
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (::setgid(test::nobodyGID) != 0 || ::setuid(test::nobodyUID) != 0) ::_exit(2);
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      const auto address = IO::sockaddr(socketPath().string());
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
        ::_exit(3);
      }
      const char* argv[] = {program.c_str(), "30", nullptr};
      ::execv(program.c_str(), const_cast<char**>(argv));
      ::_exit(4);
    }
    ::close(started[1]);
    EXPECT_TRUE(waitForLog("rejected a local connection (uid 65534, pid " +
                           std::to_string(child) + "): " + c.reason));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(started[0]);
    char events[4096];
    EXPECT_EQ(::read(watch, events, sizeof events) > 0, c.bundleRead);
  }
  ::close(watch);
  EXPECT_EQ(handled_.load(), 0);
}

TEST(SocketServerPathTest, PathOf104BytesCannotBeUsed) {
  test::TempDir dir;
  test::RecordingLog log;
  asio::io_context io;
  std::string path = (dir / "").string();
  path += std::string(104 - path.size(), 's');
  ASSERT_EQ(path.size(), 104u);
  SocketServer server(io.get_executor(), path, {}, log,
                      [](AppRequest) -> asio::awaitable<AppResponse> { co_return ok(); });
  try {
    server.start(0666);
    ADD_FAILURE() << "start succeeded";
  } catch (const FrameError& error) {
    EXPECT_EQ(error, FrameError::connect(63));
  }
  EXPECT_EQ(AgentClient::blockingSend({AppRequests::GetStatus{}}, path, 1),
            std::unexpected(AgentClient::Error(FrameError::connect(63))));
}

TEST(AgentClientTest, SendRunsOnAnotherThreadAndReportsErrors) {
  test::TempDir dir;
  const AgentClient client(dir / "missing.sock");
  auto pending = client.send({AppRequests::GetStatus{}}, 1);
  EXPECT_EQ(pending.get(), std::unexpected(AgentClient::Error(FrameError::connect(ENOENT))));
  EXPECT_EQ(AgentClient::describe(FrameError::connect(ENOENT)), "connect(2)");
}

}  // namespace
}  // namespace torvo
