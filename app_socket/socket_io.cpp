#include "app_socket/socket_io.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace torvo::IO {

std::expected<std::string, FrameError> readExactly(int fd, std::size_t count) {
  std::string bytes(count, '\0');
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd, bytes.data() + done, count - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return std::unexpected(FrameError(FrameError::Kind::timeout));
    }
    return std::unexpected(FrameError(FrameError::Kind::truncated));
  }
  return bytes;
}

std::expected<void, FrameError> writeAll(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::unexpected(FrameError(FrameError::Kind::truncated));
    done += static_cast<std::size_t>(n);
  }
  return {};
}

std::optional<sockaddr_un> sockaddr(std::string_view path) {
  if (path.size() > maxPathBytes) return std::nullopt;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

}  // namespace torvo::IO
