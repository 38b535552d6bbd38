// Blocking reads and writes on a Unix stream socket whose receive and send time-outs are set
// (the app-side client uses them), and the socket address of a path. Reads and writes use the
// descriptor only; call from any thread that owns the descriptor.
#pragma once

#include <sys/un.h>

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "app_socket/frame.h"

namespace torvo::IO {

// The longest socket path in bytes: the address's 104-byte path field of the desktop platform
// less the terminating zero. Kept on Linux too, so a path works on both or on neither.
inline constexpr std::size_t maxPathBytes = 103;
// The error number reported for a path that is too long (the desktop platform's ENAMETOOLONG).
inline constexpr int pathTooLong = 63;

// Reads until `count` bytes have arrived. Peer closed → truncated; an expired receive time-out
// (EAGAIN) → timeout; any other failure → truncated. Interrupted reads are retried.
std::expected<std::string, FrameError> readExactly(int fd, std::size_t count);

// Writes all bytes without raising SIGPIPE; a write of nothing or a failure → truncated.
std::expected<void, FrameError> writeAll(int fd, std::string_view bytes);

// The address of `path`, or nothing when it is longer than maxPathBytes.
std::optional<sockaddr_un> sockaddr(std::string_view path);

}  // namespace torvo::IO
