// Reads arbitrary bytes as a relay body. Every event a line parses to must parse again, from
// its own JSON form, to the same event. The body read whole must give the same events as the
// body cut after any LF into pieces that are read one after the other, which is how a stream
// delivers its chunks.
#include <cstdlib>
#include <string>
#include <vector>

#include "kit/ntfy.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvo;
  const std::string body = Ntfy::repairUTF8(std::string_view(reinterpret_cast<const char*>(data), size));

  if (const auto event = Ntfy::parse(body)) {
    const auto again = Ntfy::parse(event->toJSON().dump());
    if (!again || !(*again == *event)) std::abort();
  }

  const std::vector<NtfyEvent> whole = Ntfy::parseLines(body);
  for (const auto& event : whole) {
    const auto again = Ntfy::parse(event.toJSON().dump());
    if (!again || !(*again == event)) std::abort();
  }

  // Cut after every LF: each piece, LF included, is read on its own.
  std::vector<NtfyEvent> pieces;
  std::size_t start = 0;
  while (start < body.size()) {
    const std::size_t end = body.find('\n', start);
    const std::size_t stop = end == std::string::npos ? body.size() : end + 1;
    for (auto& event : Ntfy::parseLines(std::string_view(body).substr(start, stop - start))) {
      pieces.push_back(std::move(event));
    }
    start = stop;
  }
  if (pieces != whole) std::abort();
  return 0;
}
