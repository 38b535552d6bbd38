// The agent's inbound hot path: parse an envelope from the relay, find its key among the
// paired devices, decrypt, decode the message and check its bounds.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "kit/crypto.h"
#include "kit/envelope.h"
#include "kit/pairing.h"

namespace torvo {
namespace {

struct Device {
  std::string keyID;
  Bytes key;
};

void BM_EnvelopeOpenDecode(benchmark::State& state) {
  std::vector<Device> devices;
  std::vector<std::string> lines;
  for (int i = 0; i < 10; ++i) {
    devices.push_back({Pairing::randomString(10), Crypto::randomBytes(32)});
    const Message command = Command{CommandKind::wake, 3, Crypto::randomUUID(), 1700000000 + i, "Ann's iPhone"};
    lines.push_back(Envelope::seal(command, devices.back().key, devices.back().keyID).value());
  }
  const Envelope::KeyLookup lookup = [&devices](std::string_view keyID) -> std::optional<ByteView> {
    for (const Device& d : devices) {
      if (d.keyID == keyID) return ByteView(d.key);
    }
    return std::nullopt;
  };

  std::size_t next = 0;
  for (auto _ : state) {
    auto opened = Envelope::openMessage(lines[next], lookup);
    if (!opened) state.SkipWithError("an envelope did not open");
    benchmark::DoNotOptimize(opened);
    next = next == lines.size() - 1 ? 0 : next + 1;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnvelopeOpenDecode);

}  // namespace
}  // namespace torvo
