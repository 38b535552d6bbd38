// Treats arbitrary bytes as a relay line and opens it with a fixed set of keys; then seals
// the same bytes as plaintext, which must open again to exactly those bytes, with decoding
// failures reported as message errors and never as envelope errors. (An empty plaintext seals
// to 28 bytes, below the smallest sealed data a reader accepts; no message is empty.)
#include <array>
#include <cstdlib>
#include <variant>

#include "kit/envelope.h"

namespace {

const torvo::Bytes fuzzKey(32, 0x11);
constexpr std::string_view fuzzKeyID = "fuzzkey000";
constexpr std::array<std::uint8_t, 12> fuzzNonce{};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvo;
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const Envelope::KeyLookup lookup = [](std::string_view keyID) -> std::optional<ByteView> {
    if (keyID == fuzzKeyID) return ByteView(fuzzKey);
    return std::nullopt;
  };
  (void)Envelope::parse(line);
  (void)Envelope::openMessage(line, lookup);
  (void)Envelope::openMessage(line, fuzzKey, fuzzKeyID);

  if (size == 0) return 0;
  const auto sealed = Envelope::seal(ByteView(data, size), fuzzKey, fuzzKeyID, fuzzNonce);
  if (!sealed) {
    if (sealed.error() != EnvelopeError::tooLarge) std::abort();
    return 0;
  }
  const auto opened = Envelope::open(*sealed, lookup);
  if (!opened || opened->plaintext != Bytes(data, data + size) || opened->keyID != fuzzKeyID) std::abort();
  const auto message = Envelope::openMessage(*sealed, fuzzKey, fuzzKeyID);
  if (!message && std::holds_alternative<EnvelopeError>(message.error())) std::abort();
  return 0;
}
