// Reads arbitrary bytes as the reports of the system's tools: a "pmset -g custom" report for
// its AC power section, and a screen-lock status text. Every screen-lock setting read must
// survive its JSON form unchanged.
#include <cstdlib>
#include <string_view>

#include "setup/setup.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvo;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const auto& [name, value] : Setup::parseAC(text)) {
    if (name.empty()) std::abort();
  }
  if (const auto setting = parseScreenLock(text)) {
    const auto again = ScreenLockSetting::fromJSON(setting->toJSON());
    if (!again || !(*again == *setting)) std::abort();
    if (label(*setting).empty()) std::abort();
  }
  return 0;
}
