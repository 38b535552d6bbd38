// SocketServer: the agent's end of the local app socket. It listens on a Unix stream socket,
// checks every connecting process's user, then identifies its program (only for the right
// user) and applies the peer policy before reading anything (rejected peers get no bytes,
// only a log line), then serves each allowed connection in its
// own coroutine: one request frame in, one response frame out, each read and write bounded by
// a 5-second deadline, the connection closed afterwards. Requests with numbers far out of range
// or malformed key identifiers are answered "Bad request" without reaching the handler.
// Runs on the agent's io_context (one thread): construct, start, stop and destroy it there.
// Connections in flight when it stops are finished; the handler must outlive them.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <memory>

#include <asio.hpp>

#include "app_socket/ipc.h"
#include "app_socket/peer_policy.h"
#include "base/agent_log.h"

namespace torvo {

class SocketServer {
 public:
  using Handler = std::function<asio::awaitable<AppResponse>(AppRequest)>;

  static constexpr int ioTimeoutSeconds = 5;
  static constexpr int backlog = 16;

  // `console` is where the console-user rule looks up the console user; tests replace it.
  SocketServer(asio::any_io_executor executor, std::filesystem::path path, PeerPolicy policy,
               AgentLog& log, Handler handler,
               PeerPolicy::ConsoleLookup console = consoleUID);
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;
  ~SocketServer();

  // Creates the parent folder (owned by this process's user, mode 0755), replaces any old
  // file at the path, binds, sets the socket file's mode and listens. Throws FrameError
  // (connect with the system error number; connect(63) for a path over 103 bytes) or the
  // folder's FileStoreError or std::system_error.
  void start(mode_t socketMode);

  // Stops accepting, closes the listening socket and removes the socket file.
  void stop();

  // Whether a request is outside the sane bounds and gets "Bad request".
  static bool isBadRequest(const AppRequest& request);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace torvo
