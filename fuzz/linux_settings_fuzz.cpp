// Reads arbitrary bytes as what the Linux system settings read from the machine: a desktop
// file of a user's autostart folder (the agent reads it as root), ethtool's report of an
// interface, and the Wake-on-LAN record. A login item must be UTF-8 that its JSON form
// carries unchanged; the record must survive being written and read again.
#include <cstdlib>
#include <string>

#include "platform/linux/autostart_items.h"
#include "platform/linux/wake_on_lan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvo;
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (const auto item = AutostartItems::desktopEntry(text, "dev.zed.Zed")) {
    if (item->name.empty()) std::abort();
    const auto again = LoginItem::fromJSON(nlohmann::json::parse(item->toJSON().dump()));
    if (!again || !(*again == *item)) std::abort();
  }
  if (const auto interface = WakeOnLan::parse("eth0", text)) {
    if (interface->name != "eth0") std::abort();
  }
  const auto changes = WakeOnLan::parseRecord(text);
  if (WakeOnLan::parseRecord(WakeOnLan::recordText(changes)) != changes) std::abort();
  return 0;
}
