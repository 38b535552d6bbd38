// AgentClient: the desktop app's end of the local socket. One call sends one request and reads
// the one response over a fresh connection. A server that closes the connection without
// answering (it rejected this process, or could not read the request) is reported as
// peerRejected. `blockingSend` blocks its caller; `send` runs it on a thread of its own.
// Thread-safe: the client holds only its socket path.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <future>
#include <string>
#include <variant>

#include "app_socket/frame.h"
#include "app_socket/ipc.h"

namespace torvo {

class AgentClient {
 public:
  // A failure of the exchange, or a response that does not decode.
  using Error = std::variant<FrameError, JSONDecodingError>;
  using Result = std::expected<AppResponse, Error>;

  explicit AgentClient(std::filesystem::path path) : path_(std::move(path)) {}

  const std::filesystem::path& path() const { return path_; }

  // Sends on a background thread; the future holds the response or the error.
  std::future<Result> send(AppRequest request, std::int64_t timeout) const;

  // Connects to `path`, sends `request` and reads the response, with `timeout` whole seconds
  // for each read and write.
  static Result blockingSend(const AppRequest& request, const std::filesystem::path& path,
                             std::int64_t timeout);

  // One line for the user: the FrameError's text, or the decoding failure.
  static std::string describe(const Error& error);

 private:
  std::filesystem::path path_;
};

}  // namespace torvo
