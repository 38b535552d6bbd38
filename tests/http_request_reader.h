// Reads one whole HTTP request (head and the body its Content-Length announces) from a
// connected socket, for the small hand-written HTTP servers of the relay tests. Gives up after
// five seconds, when the peer closes, or once `stop` is set. Blocking on the calling thread.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <string>

namespace torvo::test {

inline std::size_t contentLength(std::string head) {
  std::transform(head.begin(), head.end(), head.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto at = head.find("\r\ncontent-length:");
  if (at == std::string::npos) return 0;
  return std::stoul(head.substr(at + 17));
}

// The request head and body, or nothing when no complete request arrives in time.
inline std::string readHttpRequest(int connection, const std::atomic<bool>& stop) {
  std::string data;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::size_t wanted = std::string::npos;
  while (std::chrono::steady_clock::now() < giveUp && !stop) {
    if (wanted == std::string::npos) {
      if (const auto end = data.find("\r\n\r\n"); end != std::string::npos) {
        wanted = end + 4 + contentLength(data.substr(0, end));
      }
    }
    if (wanted != std::string::npos && data.size() >= wanted) return data;
    pollfd ready{connection, POLLIN, 0};
    if (::poll(&ready, 1, 20) <= 0) continue;
    char buffer[65536];
    const auto n = ::recv(connection, buffer, sizeof buffer, 0);
    if (n <= 0) return {};
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace torvo::test
