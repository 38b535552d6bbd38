#include "app_socket/agent_client.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "app_socket/socket_io.h"

namespace torvo {

namespace {

// Closes the descriptor on every way out.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// A read or write that found the connection closed by the server means it would not answer.
FrameError closedMeansRejected(const FrameError& error) {
  if (error.kind() == FrameError::Kind::truncated) {
    return FrameError(FrameError::Kind::peerRejected);
  }
  return error;
}

}  // namespace

std::future<AgentClient::Result> AgentClient::send(AppRequest request, std::int64_t timeout) const {
  return std::async(std::launch::async, [path = path_, request = std::move(request), timeout] {
    return blockingSend(request, path, timeout);
  });
}

AgentClient::Result AgentClient::blockingSend(const AppRequest& request,
                                              const std::filesystem::path& path,
                                              std::int64_t timeout) {
  const Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.get() < 0) return std::unexpected(FrameError::connect(errno));
  timeval limit{.tv_sec = static_cast<time_t>(timeout), .tv_usec = 0};
  ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);

  const auto address = IO::sockaddr(path.string());
  if (!address) return std::unexpected(FrameError::connect(IO::pathTooLong));
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) !=
      0) {
    return std::unexpected(FrameError::connect(errno));
  }

  const auto frame = Frame::encode(request.toJSON());
  if (!frame) return std::unexpected(frame.error());
  if (const auto written = IO::writeAll(socket.get(), *frame); !written) {
    return std::unexpected(closedMeansRejected(written.error()));
  }

  const auto header = IO::readExactly(socket.get(), Frame::headerBytes);
  if (!header) return std::unexpected(closedMeansRejected(header.error()));
  const auto length = Frame::length(*header);
  if (!length) return std::unexpected(FrameError(FrameError::Kind::tooLarge));
  const auto payload = IO::readExactly(socket.get(), *length);
  if (!payload) return std::unexpected(closedMeansRejected(payload.error()));

  const auto json = nlohmann::json::parse(*payload, nullptr, false);
  if (json.is_discarded()) {
    return std::unexpected(JSONDecodingError{.key = "", .reason = "The data isn't valid JSON."});
  }
  auto response = AppResponse::fromJSON(json);
  if (!response) return std::unexpected(response.error());
  return std::move(*response);
}

std::string AgentClient::describe(const Error& error) {
  if (const auto* frame = std::get_if<FrameError>(&error)) return frame->text();
  const auto& decoding = std::get<JSONDecodingError>(error);
  if (decoding.key.empty()) return "unreadable response: " + decoding.reason;
  return "unreadable response: " + decoding.key + ": " + decoding.reason;
}

}  // namespace torvo
