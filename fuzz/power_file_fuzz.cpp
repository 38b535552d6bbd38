// Writes arbitrary bytes as the simulate power file and lets the simulated power read it. The
// file is gone after the reading whatever it held, and the clock offset changes only when the
// file names one: with no file it stays what it was.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "power/simulated_power.h"
#include "tests/fakes/fake_power_platform.h"

namespace {

// A private folder for the power file, removed when the fuzzer exits.
struct ScratchFolder {
  std::filesystem::path path;
  ScratchFolder() {
    char folder[] = "/tmp/torvo-fuzz-power-XXXXXX";
    if (::mkdtemp(folder) == nullptr) std::abort();
    path = folder;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

const std::filesystem::path& scratchFile() {
  static const ScratchFolder folder;
  static const std::filesystem::path file = folder.path / "power.json";
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvo;
  const auto& file = scratchFile();
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();
  }
  FakePowerPlatform facts;
  SimulatedPower power(nullptr, PowerSource{}, std::string("Fuzz"), file, facts);
  const std::int64_t offset = power.clockOffset();
  if (std::filesystem::exists(file)) std::abort();
  if (power.clockOffset() != offset) std::abort();
  return 0;
}
