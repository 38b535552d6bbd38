// torvo-relay-load: how torvo-relay behaves with many idle followers. Starts the given
// torvo-relay on 127.0.0.1, opens N idle streams on raw sockets, then times publishes and health
// requests (each on a fresh connection) and reads the relay's thread count and resident memory
// before and after the streams.
//
//   torvo-relay-load PATH/TO/torvo-relay [STREAMS]    (STREAMS defaults to 1000)
//
// Prints "key=value" lines: streams, streams_open, threads_before, threads_after, rss_kib_before,
// rss_kib_after, rss_bytes_per_stream, publish_ms_median, publish_ms_worst, publish_failed,
// health_ms_median, health_ms_worst, health_failed. A request without an answer within 5 s counts
// as failed and as 5000 ms; after three such in a row the rest are counted as failed untried.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto answerTimeout = std::chrono::seconds(5);

int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  return fd;
}

void sendAll(int fd, const std::string& text) {
  if (::send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
    std::perror("send");
    std::exit(1);
  }
}

// Whether `text` arrives on `fd` before the deadline; with `toEnd`, read on until the relay
// closes the connection and then look for it.
bool awaitText(int fd, const std::string& text, Clock::time_point deadline, bool toEnd = false) {
  std::string received;
  char buffer[4096];
  while (toEnd || received.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd wait{.fd = fd, .events = POLLIN, .revents = 0};
    if (left.count() <= 0 || ::poll(&wait, 1, static_cast<int>(left.count())) <= 0) return false;
    const auto n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return toEnd && received.find(text) != std::string::npos;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

// Milliseconds from connecting to the end of a 200 answer; nothing on failure.
std::optional<double> timedRequest(int port, const std::string& request) {
  const auto started = Clock::now();
  const int fd = connectTo(port);
  sendAll(fd, request);
  // The relay closes the connection after its answer (the request says Connection: close).
  const bool answered = awaitText(fd, "HTTP/1.1 200", started + answerTimeout, true);
  ::close(fd);
  if (!answered) return std::nullopt;
  return std::chrono::duration<double, std::milli>(Clock::now() - started).count();
}

long statusField(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::atol(line.c_str() + name.size() + 1);
  }
  return -1;
}

struct Timings {
  double median = 0;
  double worst = 0;
  int failed = 0;
};

Timings timeRequests(int port, const std::string& request, int count) {
  std::vector<double> times;
  Timings out;
  int inARow = 0;
  for (int i = 0; i < count; ++i) {
    const auto ms = inARow >= 3 ? std::nullopt : timedRequest(port, request);
    inARow = ms ? 0 : inARow + 1;
    if (!ms) ++out.failed;
    times.push_back(ms.value_or(5000.0));
  }
  std::sort(times.begin(), times.end());
  out.median = times[times.size() / 2];
  out.worst = times.back();
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: torvo-relay-load PATH/TO/torvo-relay [STREAMS]\n";
    return 64;
  }
  const int streams = argc > 2 ? std::atoi(argv[2]) : 1000;
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);  // the relay inherits it too

  int out[2];
  if (::pipe(out) != 0) return 1;
  const pid_t relay = ::fork();
  if (relay == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::execl(argv[1], argv[1], "--listen", "127.0.0.1:0", "--keepalive", "3600", nullptr);
    std::perror("exec");
    std::_Exit(127);
  }
  ::close(out[1]);
  std::string banner;
  char c;
  while (banner.find('\n') == std::string::npos && ::read(out[0], &c, 1) == 1) banner += c;
  const auto colon = banner.rfind(':');
  if (colon == std::string::npos) {
    std::cerr << "torvo-relay-load: the relay did not start\n";
    return 1;
  }
  const int port = std::atoi(banner.c_str() + colon + 1);

  timedRequest(port, "GET /v1/health HTTP/1.1\r\nHost: relay\r\nConnection: close\r\n\r\n");
  const long threadsBefore = statusField(relay, "Threads");
  const long rssBefore = statusField(relay, "VmRSS");

  std::vector<int> followers;
  for (int i = 0; i < streams; ++i) {
    followers.push_back(connectTo(port));
    sendAll(followers.back(), "GET /idle-" + std::to_string(i) + "/json HTTP/1.1\r\nHost: relay\r\n\r\n");
  }
  const auto openBy = Clock::now() + std::chrono::seconds(10);
  int open = 0;
  for (const int fd : followers) open += awaitText(fd, "\"open\"", openBy) ? 1 : 0;
  const long threadsAfter = statusField(relay, "Threads");
  const long rssAfter = statusField(relay, "VmRSS");

  const std::string message = "sealed-message-of-a-typical-size-" + std::string(200, 'x');
  const auto publish = timeRequests(
      port,
      "POST /busy HTTP/1.1\r\nHost: relay\r\nConnection: close\r\nContent-Length: " +
          std::to_string(message.size()) + "\r\n\r\n" + message,
      50);
  const auto health =
      timeRequests(port, "GET /v1/health HTTP/1.1\r\nHost: relay\r\nConnection: close\r\n\r\n", 50);

  for (const int fd : followers) ::close(fd);
  ::kill(relay, SIGTERM);
  ::waitpid(relay, nullptr, 0);

  std::printf("streams=%d\nstreams_open=%d\nthreads_before=%ld\nthreads_after=%ld\n", streams,
              open, threadsBefore, threadsAfter);
  std::printf("rss_kib_before=%ld\nrss_kib_after=%ld\nrss_bytes_per_stream=%.0f\n", rssBefore,
              rssAfter, streams > 0 ? (rssAfter - rssBefore) * 1024.0 / streams : 0.0);
  std::printf("publish_ms_median=%.2f\npublish_ms_worst=%.2f\npublish_failed=%d\n", publish.median,
              publish.worst, publish.failed);
  std::printf("health_ms_median=%.2f\nhealth_ms_worst=%.2f\nhealth_failed=%d\n", health.median,
              health.worst, health.failed);
  return 0;
}
