// A relay that misbehaves on request, for the fault tests: an HTTP front on 127.0.0.1 that
// passes each request to a real relay behind it (an in-process RelayServer) unless a fault is
// set for that kind of request (health, poll or publish). A fault answers with other bytes, cuts
// the answer short, delays it, or the front stops listening altogether (connections refused).
// Every connection carries one request (the front asks the relay behind it to close) and is
// served on a thread of its own, so a delayed answer holds up nothing else.
// The setters may be called from any thread while requests are served.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "relay_server/relay_server.h"
#include "tests/http_request_reader.h"

namespace torvo::test {

class MisbehavingRelay {
 public:
  enum class Route { health, poll, publish };

  struct Fault {
    // Bytes sent in place of the relay's answer; empty: the relay's own answer.
    std::string raw;
    // Only this many bytes of the answer are sent before the connection closes.
    std::optional<std::size_t> cutAfter;
    // The answer loses this many bytes at its end (a body cut within its last line).
    std::size_t dropLast = 0;
    // Seconds to wait before answering; a client that hangs up meanwhile counts as abandoned.
    double delaySeconds = 0;
  };

  // A complete HTTP/1.1 answer.
  static std::string http(int status, const std::string& body = "",
                          const std::vector<std::string>& headers = {}) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " Faulty\r\n";
    for (const auto& header : headers) out += header + "\r\n";
    return out + "Content-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
  }

  MisbehavingRelay() : upstreamPort_(upstream_.start()) {
    open();
    thread_ = std::thread([this] { acceptLoop(); });
  }

  MisbehavingRelay(const MisbehavingRelay&) = delete;
  MisbehavingRelay& operator=(const MisbehavingRelay&) = delete;

  ~MisbehavingRelay() {
    stop_ = true;
    thread_.join();
    for (auto& connection : connections_) connection.join();
    if (listener_ >= 0) ::close(listener_);
    upstream_.stop();
  }

  // The front's address, which the agent is given as its relay.
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // The relay behind the front, for the phone's side of the test.
  std::string upstreamURL() const { return "http://127.0.0.1:" + std::to_string(upstreamPort_); }

  void setFault(Route route, std::optional<Fault> fault) {
    std::lock_guard lock(mutex_);
    if (fault) {
      faults_[route] = *fault;
    } else {
      faults_.erase(route);
    }
  }
  void clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
  }

  // Down: the port stops listening, so connections are refused. Up: it listens again.
  void setDown(bool down) {
    std::lock_guard lock(listenerMutex_);
    if (down && listener_ >= 0) {
      ::close(listener_);
      listener_ = -1;
    } else if (!down && listener_ < 0) {
      open();
    }
  }

  int requests(Route route) const {
    std::lock_guard lock(mutex_);
    const auto found = counts_.find(route);
    return found == counts_.end() ? 0 : found->second;
  }
  // Connections whose client hung up while a delayed answer was still due.
  int abandoned() const { return abandoned_; }

 private:
  void open() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      if (fd >= 0) ::close(fd);
      throw std::runtime_error("the misbehaving relay cannot listen");
    }
    port_ = ntohs(address.sin_port);
    listener_ = fd;
  }

  void acceptLoop() {
    while (!stop_) {
      int connection = -1;
      {
        std::lock_guard lock(listenerMutex_);
        if (listener_ >= 0) {
          pollfd ready{listener_, POLLIN, 0};
          if (::poll(&ready, 1, 0) > 0) connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        }
      }
      if (connection < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      connections_.emplace_back([this, connection] {
        serve(connection);
        ::close(connection);
      });
    }
  }

  void serve(int connection) {
    const std::string request = readHttpRequest(connection, stop_);
    if (request.empty()) return;
    const Route route = routeOf(request);
    std::optional<Fault> fault;
    {
      std::lock_guard lock(mutex_);
      ++counts_[route];
      if (const auto found = faults_.find(route); found != faults_.end()) fault = found->second;
    }
    if (fault && fault->delaySeconds > 0 && !waitOrHangUp(connection, fault->delaySeconds)) {
      ++abandoned_;
      return;
    }
    std::string answer = fault && !fault->raw.empty() ? fault->raw : passOn(request);
    if (fault && fault->cutAfter) answer.resize(std::min(answer.size(), *fault->cutAfter));
    if (fault) answer.resize(answer.size() - std::min(answer.size(), fault->dropLast));
    std::size_t sent = 0;
    while (sent < answer.size()) {
      const auto n = ::send(connection, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
    ::shutdown(connection, SHUT_WR);
  }

  static Route routeOf(const std::string& request) {
    if (request.starts_with("POST ")) return Route::publish;
    if (request.starts_with("GET /v1/health")) return Route::health;
    return Route::poll;
  }

  // False when the client hung up before `seconds` passed.
  bool waitOrHangUp(int connection, double seconds) {
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(seconds));
    while (std::chrono::steady_clock::now() < until && !stop_) {
      pollfd ready{connection, POLLIN, 0};
      if (::poll(&ready, 1, 20) > 0) {
        char byte = 0;
        if (::recv(connection, &byte, 1, MSG_PEEK) <= 0) return false;
      }
    }
    return true;
  }

  // The relay's answer to `request`, asked over a connection of its own that it closes.
  std::string passOn(const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(upstreamPort_));
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      if (fd >= 0) ::close(fd);
      return http(502);
    }
    const auto lineEnd = request.find("\r\n");
    const std::string forwarded =
        request.substr(0, lineEnd + 2) + "Connection: close\r\n" + request.substr(lineEnd + 2);
    std::size_t sent = 0;
    while (sent < forwarded.size()) {
      const auto n = ::send(fd, forwarded.data() + sent, forwarded.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    std::string answer;
    char buffer[65536];
    for (;;) {
      pollfd ready{fd, POLLIN, 0};
      if (::poll(&ready, 1, 5000) <= 0) break;
      const auto n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer;
  }


  RelayServer upstream_{RelayServer::Options{}};
  int upstreamPort_ = 0;
  int port_ = 0;
  std::mutex listenerMutex_;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> abandoned_{0};
  mutable std::mutex mutex_;
  std::map<Route, Fault> faults_;
  std::map<Route, int> counts_;
  std::thread thread_;
  std::vector<std::thread> connections_;
};

}  // namespace torvo::test
