// torvo-relay's server over plain sockets, for what the relay client never does: several requests
// on one connection, followers that hang up, the stream cap, CORS and the phone web app.
#include "relay_server/relay_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "tests/test_support.h"

namespace torvo {
namespace {

using namespace std::chrono_literals;

struct Answer {
  int status = 0;
  std::string head;  // the status line and headers, names and values in lower case
  std::string body;

  std::optional<std::string> header(const std::string& name) const {
    const auto at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return std::nullopt;
    const auto start = at + name.size() + 4;
    return head.substr(start, head.find("\r\n", start) - start);
  }
};

// One TCP connection to the relay; reads time out after 5 seconds.
class Connection {
 public:
  explicit Connection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval timeout{.tv_sec = 5, .tv_usec = 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() { close(); }

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  void send(const std::string& text) {
    ASSERT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
  }

  // Reads until `text` has arrived; false when the connection ends or goes quiet first.
  bool readUntil(const std::string& text) {
    while (received_.find(text) == std::string::npos) {
      if (!readMore()) return false;
    }
    return true;
  }

  // The next answer with a Content-Length body (none for an answer to HEAD).
  Answer answer(bool toHead = false) {
    Answer out;
    if (!readUntil("\r\n\r\n")) return out;
    const auto end = received_.find("\r\n\r\n") + 4;
    out.head = received_.substr(0, end);
    std::transform(out.head.begin(), out.head.end(), out.head.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    received_.erase(0, end);
    out.status = std::stoi(out.head.substr(9, 3));
    const auto length = toHead ? std::nullopt : out.header("content-length");
    const std::size_t size = length ? std::stoul(*length) : 0;
    while (received_.size() < size && readMore()) {
    }
    out.body = received_.substr(0, size);
    received_.erase(0, size);
    return out;
  }

 private:
  bool readMore() {
    char buffer[4096];
    const auto n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    received_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  int fd_;
  std::string received_;
};

std::string get(const std::string& target, const std::string& method = "GET",
                const std::string& extra = "") {
  return method + " " + target + " HTTP/1.1\r\nHost: relay\r\n" + extra + "\r\n";
}

std::string post(const std::string& topic, const std::string& body) {
  return "POST /" + topic + " HTTP/1.1\r\nHost: relay\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

class RelayServerTestHttp : public testing::Test {
 protected:
  void start(RelayServer::Options options) {
    server_ = std::make_unique<RelayServer>(std::move(options));
    port_ = server_->start();
  }

  Answer exchange(const std::string& request, bool toHead = false) {
    Connection connection(port_);
    connection.send(request);
    return connection.answer(toHead);
  }

  std::unique_ptr<RelayServer> server_;
  int port_ = 0;
};

TEST_F(RelayServerTestHttp, OneConnectionCarriesSeveralRequests) {
  start({});
  Connection connection(port_);
  connection.send(post("kept", "first"));
  EXPECT_EQ(connection.answer().status, 200);
  connection.send(post("kept", "second"));
  EXPECT_EQ(connection.answer().status, 200);
  connection.send(get("/kept/json?poll=1&since=all"));
  const auto polled = connection.answer();
  EXPECT_EQ(polled.status, 200);
  EXPECT_NE(polled.body.find("\"first\""), std::string::npos) << polled.body;
  EXPECT_NE(polled.body.find("\"second\""), std::string::npos) << polled.body;
  // Two requests sent together are answered in order.
  connection.send(get("/v1/health") + get("/nowhere/at/all"));
  EXPECT_EQ(connection.answer().body, "{\"healthy\":true}\n");
  EXPECT_EQ(connection.answer().status, 404);
}

TEST_F(RelayServerTestHttp, UnreadableRequestsAreAnsweredWithTheirStatus) {
  start({});
  struct Case {
    std::string name;
    std::string request;
    int status;
  };
  const std::vector<Case> cases = {
      {"garbage request line", "HELLO THERE\r\n\r\n", 400},
      {"bad header line", "GET /v1/health HTTP/1.1\r\nno colon here\r\n\r\n", 400},
      {"huge header", get("/v1/health", "GET", "X-Pad: " + std::string(20'000, 'p') + "\r\n"), 431},
      {"declared body over the limit",
       "POST /t HTTP/1.1\r\nHost: relay\r\nContent-Length: 10000000\r\n\r\n" + std::string(1000, 'b'),
       413},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto answer = exchange(c.request);
    EXPECT_EQ(answer.status, c.status);
    EXPECT_NE(answer.body.find("\"http\":" + std::to_string(c.status)), std::string::npos)
        << answer.body;
    EXPECT_EQ(answer.header("access-control-allow-origin"), "*");
  }
  // The relay serves on.
  EXPECT_EQ(exchange(get("/v1/health")).status, 200);
}

TEST_F(RelayServerTestHttp, IdleStreamsLeavePublishAndHealthAnswered) {
  start({.keepalive = 3600});
  std::vector<std::unique_ptr<Connection>> followers;
  for (int i = 0; i < 64; ++i) {
    followers.push_back(std::make_unique<Connection>(port_));
    followers.back()->send(get("/idle-" + std::to_string(i) + "/json"));
    ASSERT_TRUE(followers.back()->readUntil("\"open\"")) << i;
  }
  EXPECT_EQ(exchange(get("/v1/health")).status, 200);
  EXPECT_EQ(exchange(post("idle-3", "wake")).status, 200);
  EXPECT_TRUE(followers[3]->readUntil("\"wake\""));
}

TEST_F(RelayServerTestHttp, StreamsOverTheCapAreRefusedUntilOneHangsUp) {
  // Keep-alives are an hour apart, so only reading the socket can notice the hang-up.
  start({.keepalive = 3600, .maxStreams = 1});
  auto first = std::make_unique<Connection>(port_);
  first->send(get("/t/json"));
  ASSERT_TRUE(first->readUntil("\"open\""));

  const auto refused = exchange(get("/t/json"));
  EXPECT_EQ(refused.status, 429);
  EXPECT_NE(refused.body.find("\"http\":429"), std::string::npos) << refused.body;
  // Polls are not streams.
  EXPECT_EQ(exchange(get("/t/json?poll=1")).status, 200);

  first.reset();
  int status = 0;
  for (const auto deadline = std::chrono::steady_clock::now() + 5s;
       status != 200 && std::chrono::steady_clock::now() < deadline;) {
    Connection next(port_);
    next.send(get("/t/json"));
    ASSERT_TRUE(next.readUntil("\r\n"));
    status = next.answer().status;
    if (status != 200) std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(status, 200);
}

TEST_F(RelayServerTestHttp, AnswersCarryCorsAndPreflightIsAllowed) {
  start({});
  const auto preflight =
      exchange(get("/mac-topic", "OPTIONS",
                   "Origin: http://phone.local\r\nAccess-Control-Request-Method: POST\r\n"
                   "Access-Control-Request-Headers: content-type, x-title\r\n"));
  EXPECT_EQ(preflight.status, 204);
  EXPECT_EQ(preflight.header("access-control-allow-origin"), "*");
  EXPECT_EQ(preflight.header("access-control-allow-methods"), "get, post, put, options");
  EXPECT_EQ(preflight.header("access-control-allow-headers"), "content-type, x-title");
  EXPECT_TRUE(preflight.header("access-control-max-age"));

  for (const auto& request : {get("/v1/health"), post("t", "x"), get("/t/json?poll=1"),
                              get("/missing/path/here"), post("t", "bad \xFF")}) {
    SCOPED_TRACE(request);
    EXPECT_EQ(exchange(request).header("access-control-allow-origin"), "*");
  }
}

class RelayServerTestPhoneFiles : public RelayServerTestHttp {
 protected:
  void SetUp() override {
    const auto app = dir_ / "app";
    std::filesystem::create_directories(app / "icons");
    write(app / "index.html", "<!doctype html><title>phone</title>");
    write(app / "app.js", "console.log(1);");
    write(app / "icons" / "icon.svg", "<svg/>");
    write(app / "data.bin", "binary");
    write(app / ".secret", "hidden");
    write(dir_ / "outside.txt", "outside");
    std::filesystem::create_symlink(dir_ / "outside.txt", app / "escape.txt");
    std::filesystem::create_symlink(app / "app.js", app / "alias.js");
    start({.phoneDir = app.string()});
  }

  static void write(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
  }

  test::TempDir dir_;
};

TEST_F(RelayServerTestPhoneFiles, ServesFilesOfTheFolderOnly) {
  struct Case {
    std::string target;
    int status;
    std::string type;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"/phone/", 200, "text/html; charset=utf-8", "<!doctype html><title>phone</title>"},
      {"/phone/app.js", 200, "text/javascript; charset=utf-8", "console.log(1);"},
      {"/phone/icons/icon.svg?v=2", 200, "image/svg+xml", "<svg/>"},
      {"/phone/data.bin", 200, "application/octet-stream", "binary"},
      {"/phone/alias.js", 200, "text/javascript; charset=utf-8", "console.log(1);"},
      {"/phone/missing.js", 404, "", ""},
      {"/phone/icons", 404, "", ""},
      {"/phone/../outside.txt", 404, "", ""},
      {"/phone/%2e%2e/outside.txt", 404, "", ""},
      {"/phone/icons/%2E%2E%2F%2E%2E%2Foutside.txt", 404, "", ""},
      {"/phone/icons/..%2Fapp.js", 404, "", ""},
      {"/phone/.secret", 404, "", ""},
      {"/phone/%2Esecret", 404, "", ""},
      {"/phone/escape.txt", 404, "", ""},
      {"/phone/app.js%00.png", 404, "", ""},
      {"/phone/json", 404, "", ""},  // every /phone/ path is the web app
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const auto answer = exchange(get(c.target));
    EXPECT_EQ(answer.status, c.status);
    if (c.status != 200) continue;
    EXPECT_EQ(answer.header("content-type"), c.type);
    EXPECT_EQ(answer.body, c.body);
    EXPECT_EQ(answer.header("x-content-type-options"), "nosniff");
    EXPECT_EQ(answer.header("cache-control"), "no-cache");
  }
}

TEST_F(RelayServerTestPhoneFiles, HeadAnswersWithoutBodyAndBareFolderRedirects) {
  Connection connection(port_);
  connection.send(get("/phone/app.js", "HEAD"));
  const auto head = connection.answer(true);
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.header("content-length"), "15");
  EXPECT_EQ(head.header("content-type"), "text/javascript; charset=utf-8");
  // Nothing of a body came, for a refusal either: the next answers follow right away.
  connection.send(get("/phone/missing.js", "HEAD"));
  const auto missing = connection.answer(true);
  EXPECT_EQ(missing.status, 404);
  EXPECT_NE(missing.header("content-length"), "0");
  connection.send(get("/phone"));
  const auto redirect = connection.answer();
  EXPECT_EQ(redirect.status, 301);
  EXPECT_EQ(redirect.header("location"), "/phone/");
}

TEST_F(RelayServerTestHttp, WithoutPhoneFolderPhoneIsATopic) {
  start({});
  EXPECT_EQ(exchange(get("/phone/")).status, 404);
  EXPECT_EQ(exchange(get("/phone/index.html")).status, 404);
  Connection stream(port_);
  stream.send(get("/phone/json"));
  EXPECT_TRUE(stream.readUntil("\"open\""));
}

}  // namespace
}  // namespace torvo
