// Parses arbitrary bytes as a pairing link. Whatever parses must build a link again that
// parses to the same record (the relay without trailing slashes), unless percent-encoding the
// relay makes the link too long, which building reports.
#include <cstdlib>

#include "kit/pairing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvo;
  const auto parsed = Pairing::fromString(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!parsed) return 0;
  const auto link = parsed->url();
  if (!link) {
    if (link.error() != PairingError::notPairingURL()) std::abort();
    return 0;
  }
  const auto again = Pairing::fromString(*link);
  if (!again) std::abort();
  Pairing expected = *parsed;
  while (expected.relay.ends_with('/')) expected.relay.pop_back();
  if (!(*again == expected)) std::abort();
  return 0;
}
