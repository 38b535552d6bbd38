// Reads arbitrary bytes as one of the agent's data files, the first byte choosing which:
// devices.json, config.json, state.json or backup.json. Whatever decodes must be written by the
// agent as a text that decodes to the same record, and writing that again gives the same text,
// so a save never changes what the next start loads.
#include <cstdlib>
#include <string_view>

#include "kit/config.h"
#include "model/model.h"
#include "model/setup_records.h"

namespace {

template <class Record>
void check(const nlohmann::json& json) {
  const auto decoded = Record::fromJSON(json);
  if (!decoded) return;
  const std::string text = decoded->toJSON().dump();
  const auto again = Record::fromJSON(nlohmann::json::parse(text));
  if (!again || !(*again == *decoded) || again->toJSON().dump() != text) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvo;
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const auto json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded()) return 0;
  switch (data[0] % 4) {
    case 0: check<DevicesFile>(json); break;
    case 1: check<AgentConfig>(json); break;
    case 2: check<AgentStateFile>(json); break;
    default: check<Backup>(json); break;
  }
  return 0;
}
