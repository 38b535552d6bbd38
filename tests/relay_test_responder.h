// Test helper: a one-connection-at-a-time HTTP responder on 127.0.0.1 that serves scripted raw
// answers in order (the last one repeats), optionally after a delay, and records the request
// lines and the connections a client gave up before its answer. For the relay tests only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/http_request_reader.h"

namespace torvo::test {

class ScriptedResponder {
 public:
  struct Answer {
    std::string raw;
    double delaySeconds = 0;
  };

  // A complete HTTP/1.1 answer that closes the connection.
  static std::string http(int status, const std::vector<std::string>& headers = {},
                          const std::string& body = "") {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " Scripted\r\n";
    for (const auto& header : headers) out += header + "\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    return out + body;
  }

  explicit ScriptedResponder(std::vector<Answer> answers) : answers_(std::move(answers)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("responder cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }

  ScriptedResponder(const ScriptedResponder&) = delete;
  ScriptedResponder& operator=(const ScriptedResponder&) = delete;

  ~ScriptedResponder() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
  }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int requests() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(requestLines_.size());
  }
  std::vector<std::string> requestLines() const {
    std::lock_guard lock(mutex_);
    return requestLines_;
  }
  // The last whole request (head and body) as received.
  std::string lastRequest() const {
    std::lock_guard lock(mutex_);
    return lastRequest_;
  }
  int abandoned() const { return abandoned_; }

 private:
  void serve() {
    while (!stop_) {
      pollfd ready{listener_, POLLIN, 0};
      if (::poll(&ready, 1, 20) <= 0) continue;
      const int connection = ::accept(listener_, nullptr, nullptr);
      if (connection < 0) continue;
      answer(connection);
      ::close(connection);
    }
  }

  void answer(int connection) {
    const auto request = readHttpRequest(connection, stop_);
    if (request.empty()) return;
    Answer answer;
    {
      std::lock_guard lock(mutex_);
      requestLines_.push_back(request.substr(0, request.find("\r\n")));
      lastRequest_ = request;
      answer = answers_[std::min(requestLines_.size(), answers_.size()) - 1];
    }
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(answer.delaySeconds));
    while (std::chrono::steady_clock::now() < until && !stop_) {
      pollfd ready{connection, POLLIN, 0};
      if (::poll(&ready, 1, 20) > 0) {
        char byte = 0;
        if (::recv(connection, &byte, 1, MSG_PEEK) <= 0) {
          ++abandoned_;
          return;
        }
      }
    }
    std::size_t sent = 0;
    while (sent < answer.raw.size()) {
      const auto n = ::send(connection, answer.raw.data() + sent, answer.raw.size() - sent,
                            MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
    ::shutdown(connection, SHUT_WR);
  }


  std::vector<Answer> answers_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> abandoned_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> requestLines_;
  std::string lastRequest_;
  std::thread thread_;
};

}  // namespace torvo::test
