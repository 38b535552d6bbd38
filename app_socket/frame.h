// The framing of the local app socket: a 4-byte big-endian length, then that many bytes of
// compact JSON, at most Frame::maxBytes. FrameError names what went wrong with a connection
// or a frame; it is a value in results and also the exception SocketServer::start throws.
// Pure functions and plain values; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace torvo {

class FrameError : public std::runtime_error {
 public:
  enum class Kind { connect, tooLarge, truncated, timeout, peerRejected };

  explicit FrameError(Kind kind, std::int32_t code = 0);
  static FrameError connect(std::int32_t code) { return FrameError(Kind::connect, code); }

  Kind kind() const { return kind_; }
  // The system error number of a `connect` error; 0 otherwise.
  std::int32_t code() const { return code_; }
  // The case name, with the number in parentheses for `connect`: "connect(13)", "timeout".
  std::string text() const { return what(); }

  bool operator==(const FrameError& other) const {
    return kind_ == other.kind_ && code_ == other.code_;
  }

 private:
  Kind kind_;
  std::int32_t code_;
};

namespace Frame {

inline constexpr std::size_t maxBytes = 65536;
inline constexpr std::size_t headerBytes = 4;

// The length header followed by the compact JSON, with each invalid UTF-8 sequence in a
// text written as U+FFFD; tooLarge when the JSON is longer than maxBytes.
std::expected<std::string, FrameError> encode(const nlohmann::json& value);

// The announced payload length of exactly four header bytes, or nothing when the header has
// another size or announces more than maxBytes.
std::optional<std::size_t> length(std::string_view header);

}  // namespace Frame

}  // namespace torvo
