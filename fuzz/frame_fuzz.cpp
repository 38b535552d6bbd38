// Treats arbitrary bytes as what arrives on the app socket: a 4-byte length header, then the
// payload. The agent's side decodes the payload as an AppRequest, the app's side as an
// AppResponse. Whatever decodes must frame again, and the frame must decode to the same value;
// an announced length is never above the limit, and nothing past the announced payload is read.
#include <cstdlib>
#include <string>
#include <string_view>

#include "app_socket/frame.h"
#include "app_socket/ipc.h"

namespace {

// The frame of `value` read back the way both ends read one: header, payload, JSON, record.
template <class Record>
void roundTrip(const Record& value) {
  using namespace torvo;
  const auto frame = Frame::encode(value.toJSON());
  if (!frame) {
    if (frame.error().kind() != FrameError::Kind::tooLarge) std::abort();
    return;
  }
  const std::string_view bytes(*frame);
  const auto length = Frame::length(bytes.substr(0, Frame::headerBytes));
  if (!length || *length != bytes.size() - Frame::headerBytes) std::abort();
  const auto json = nlohmann::json::parse(bytes.substr(Frame::headerBytes), nullptr, false);
  if (json.is_discarded()) std::abort();
  const auto again = Record::fromJSON(json);
  if (!again || !(*again == value)) std::abort();
  if (Frame::encode(again->toJSON()) != frame) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvo;
  const std::string_view wire(reinterpret_cast<const char*>(data), size);
  if (wire.size() < Frame::headerBytes) {
    if (Frame::length(wire)) std::abort();
    return 0;
  }
  const auto length = Frame::length(wire.substr(0, Frame::headerBytes));
  if (!length) return 0;
  if (*length > Frame::maxBytes) std::abort();
  const auto rest = wire.substr(Frame::headerBytes);
  if (rest.size() < *length) return 0;  // a truncated frame: the reader waits, then times out
  const auto json = nlohmann::json::parse(rest.substr(0, *length), nullptr, false);
  if (json.is_discarded()) return 0;
  if (const auto request = AppRequest::fromJSON(json)) {
    (void)request->caseName();
    roundTrip(*request);
  }
  if (const auto response = AppResponse::fromJSON(json)) {
    (void)response->caseName();
    roundTrip(*response);
  }
  return 0;
}
