// Reads arbitrary bytes as the printed list of background items. The first four bytes pick the
// user id, the rest is the text. Never more than the item limit comes back, and every path the
// reader returns is one that reading it as a "file://" URL would give again.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "setup/background_items.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvo;
  std::uint32_t uid = 501;
  if (size >= sizeof uid) {
    std::memcpy(&uid, data, sizeof uid);
    data += sizeof uid;
    size -= sizeof uid;
  }
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto items = BackgroundItems::parse(text, uid)) {
    if (items->size() > BackgroundItems::maxItems) std::abort();
    for (const auto& item : *items) {
      if (item.path && item.path->empty()) std::abort();
    }
  }
  if (const auto path = BackgroundItems::path(text)) {
    if (path->empty() || (path->size() > 1 && path->ends_with('/'))) std::abort();
  }
  return 0;
}
