// relay_server/ (torvo_relay_server): the relay server of torvo-relay, nothing else; the agent
// never links it.
//
// RelayServer: a small relay of the ntfy kind for a local network, the tests and the
// demonstration (the production relay stays a real ntfy server). It keeps the events of each
// topic in memory for 12 hours and serves what the relay client relies on: publish
// (POST /<topic>), poll and stream (GET /<topic>/json) and health (GET /v1/health), with CORS
// for browsers, and optionally the files of the phone web app under /phone/.
// `start` and `stop` may be called from any thread; requests are served on the server's own
// I/O thread, one coroutine per connection, so an idle stream costs no thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace torvo {

class RelayServer {
 public:
  struct Options {
    std::string host = "127.0.0.1";
    int port = 0;  // 0 picks a free port
    // Seconds between keep-alive events on a stream.
    std::int64_t keepalive = 45;
    // Unix seconds; the system clock when empty.
    std::function<std::int64_t()> now;
    // Streams open at once; one more is refused with 429.
    std::size_t maxStreams = 4096;
    // The folder of the phone web app served under /phone/ (every /phone/ path, then); empty
    // for none.
    std::string phoneDir;
  };

  static constexpr std::size_t maxMessageBytes = 4096;

  explicit RelayServer(Options options);
  RelayServer(const RelayServer&) = delete;
  RelayServer& operator=(const RelayServer&) = delete;
  ~RelayServer();

  // Binds and starts serving on a thread of its own; returns the bound port. Throws
  // std::runtime_error when the address cannot be bound.
  int start();
  // Ends every open stream normally, stops listening and waits for the server's threads.
  void stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace torvo
