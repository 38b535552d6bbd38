#include "app_socket/frame.h"

namespace torvo {

namespace {

std::string kindText(FrameError::Kind kind, std::int32_t code) {
  switch (kind) {
    case FrameError::Kind::connect: return "connect(" + std::to_string(code) + ")";
    case FrameError::Kind::tooLarge: return "tooLarge";
    case FrameError::Kind::truncated: return "truncated";
    case FrameError::Kind::timeout: return "timeout";
    case FrameError::Kind::peerRejected: return "peerRejected";
  }
  return "unknown";
}

}  // namespace

FrameError::FrameError(Kind kind, std::int32_t code)
    : std::runtime_error(kindText(kind, code)), kind_(kind), code_(code) {}

namespace Frame {

std::expected<std::string, FrameError> encode(const nlohmann::json& value) {
  // Texts from outside (the computer's name, a phone's name) may hold bytes that are not
  // UTF-8; each bad sequence is written as U+FFFD so that every value can be sent.
  const std::string payload = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  if (payload.size() > maxBytes) return std::unexpected(FrameError(FrameError::Kind::tooLarge));
  const auto size = static_cast<std::uint32_t>(payload.size());
  std::string frame;
  frame.reserve(headerBytes + payload.size());
  frame.push_back(static_cast<char>(size >> 24));
  frame.push_back(static_cast<char>(size >> 16));
  frame.push_back(static_cast<char>(size >> 8));
  frame.push_back(static_cast<char>(size));
  frame += payload;
  return frame;
}

std::optional<std::size_t> length(std::string_view header) {
  if (header.size() != headerBytes) return std::nullopt;
  std::uint32_t size = 0;
  for (const char byte : header) size = (size << 8) | static_cast<unsigned char>(byte);
  if (size > maxBytes) return std::nullopt;
  return size;
}

}  // namespace Frame

}  // namespace torvo
