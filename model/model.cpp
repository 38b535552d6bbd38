#include "model/model.h"

#include <algorithm>

#include "kit/base64.h"

namespace torvo {
namespace {

using json = nlohmann::json;
namespace F = JSONFields;

}  // namespace

json WakeRecord::toJSON() const {
  json out = {{"name", name}, {"at", at}};
  putOptional(out, "kid", kid);
  return out;
}

Decoded<WakeRecord> WakeRecord::fromJSON(const json& doc) {
  if (!doc.is_object()) return badField("");
  WakeRecord record;
  TORVO_ASSIGN(record.name, F::text(doc, "name"));
  TORVO_ASSIGN(record.at, F::integer(doc, "at"));
  TORVO_ASSIGN(record.kid, F::optionalText(doc, "kid"));
  return record;
}

json DropCounts::toJSON() const {
  return {{"invalid", invalid}, {"replay", replay}, {"clock", clock}, {"role", role}};
}

Decoded<DropCounts> DropCounts::fromJSON(const json& doc) {
  if (!doc.is_object()) return badField("");
  DropCounts counts;
  TORVO_ASSIGN(counts.invalid, F::integer(doc, "invalid"));
  TORVO_ASSIGN(counts.replay, F::integer(doc, "replay"));
  TORVO_ASSIGN(counts.clock, F::integer(doc, "clock"));
  TORVO_ASSIGN(counts.role, F::integer(doc, "role"));
  return counts;
}

json PairedDevice::toJSON() const {
  json out = {{"kid", kid}, {"keyData", Base64::encode(keyData)}, {"name", name},
              {"pairedAt", pairedAt}};
  putOptional(out, "lastSeen", lastSeen);
  return out;
}

Decoded<PairedDevice> PairedDevice::fromJSON(const json& doc) {
  if (!doc.is_object()) return badField("");
  PairedDevice device;
  TORVO_ASSIGN(device.kid, F::text(doc, "kid"));
  std::string keyText;
  TORVO_ASSIGN(keyText, F::text(doc, "keyData"));
  auto key = Base64::decode(keyText);
  if (!key) return badField("keyData");
  device.keyData = std::move(*key);
  TORVO_ASSIGN(device.name, F::text(doc, "name"));
  TORVO_ASSIGN(device.pairedAt, F::integer(doc, "pairedAt"));
  TORVO_ASSIGN(device.lastSeen, F::optionalInteger(doc, "lastSeen"));
  return device;
}

DevicesFile::DevicesFile(std::string relay, std::string topic, std::vector<PairedDevice> devices)
    : relay(std::move(relay)), topic(std::move(topic)), devices(std::move(devices)) {
  while (!this->relay.empty() && this->relay.back() == '/') this->relay.pop_back();
}

std::vector<PairedDevice> DevicesFile::confirmed() const {
  std::vector<PairedDevice> out;
  std::copy_if(devices.begin(), devices.end(), std::back_inserter(out),
               [](const PairedDevice& d) { return d.isConfirmed(); });
  return out;
}

const PairedDevice* DevicesFile::key(std::string_view kid) const {
  const auto it = std::find_if(devices.begin(), devices.end(),
                               [&](const PairedDevice& d) { return d.kid == kid; });
  return it == devices.end() ? nullptr : &*it;
}

PairedDevice* DevicesFile::key(std::string_view kid) {
  return const_cast<PairedDevice*>(std::as_const(*this).key(kid));
}

std::optional<Url> DevicesFile::relayURL() const { return Url::parse(relay); }

std::vector<std::string> DevicesFile::pruneExpired(std::int64_t now) {
  std::vector<std::string> expired;
  for (const auto& device : devices) {
    // Written as a comparison of pairedAt so that extreme values cannot overflow.
    if (!device.isConfirmed() && device.pairedAt <= now - pairingLifetime) {
      expired.push_back(device.kid);
    }
  }
  std::erase_if(devices, [&](const PairedDevice& d) {
    return std::find(expired.begin(), expired.end(), d.kid) != expired.end();
  });
  return expired;
}

json DevicesFile::toJSON() const {
  json list = json::array();
  for (const auto& device : devices) list.push_back(device.toJSON());
  return {{"relay", relay}, {"topic", topic}, {"devices", list}};
}

Decoded<DevicesFile> DevicesFile::fromJSON(const json& doc) {
  if (!doc.is_object()) return badField("");
  DevicesFile file;
  TORVO_ASSIGN(file.relay, F::text(doc, "relay"));
  TORVO_ASSIGN(file.topic, F::text(doc, "topic"));
  const json& list = F::member(doc, "devices");
  if (!list.is_array()) return badField("devices");
  for (const auto& item : list) {
    auto device = PairedDevice::fromJSON(item);
    if (!device) return std::unexpected(device.error());
    file.devices.push_back(std::move(*device));
  }
  return file;
}

json AgentStateFile::toJSON() const {
  json out = {{"replay", replay.toJSON()}, {"drops", drops.toJSON()}};
  putOptional(out, "awakeUntil", awakeUntil);
  putOptional(out, "wakeSentAt", wakeSentAt);
  if (wokenBy) out["wokenBy"] = wokenBy->toJSON();
  if (lastPhoneWake) out["lastPhoneWake"] = lastPhoneWake->toJSON();
  putOptional(out, "lastCheckIn", lastCheckIn);
  putOptional(out, "scheduledWake", scheduledWake);
  putOptional(out, "scheduledEvery", scheduledEvery);
  putOptional(out, "lastNtfyID", lastNtfyID);
  putOptional(out, "relaySkew", relaySkew);
  putOptional(out, "relayReachable", relayReachable);
  if (lastReportedState) out["lastReportedState"] = std::string(toText(*lastReportedState));
  return out;
}

Decoded<AgentStateFile> AgentStateFile::fromJSON(const json& doc) {
  if (!doc.is_object()) return badField("");
  AgentStateFile state;
  TORVO_ASSIGN(state.awakeUntil, F::optionalInteger(doc, "awakeUntil"));
  TORVO_ASSIGN(state.wakeSentAt, F::optionalInteger(doc, "wakeSentAt"));
  TORVO_ASSIGN(state.wokenBy, optionalRecord<WakeRecord>(doc, "wokenBy"));
  TORVO_ASSIGN(state.lastPhoneWake, optionalRecord<WakeRecord>(doc, "lastPhoneWake"));
  TORVO_ASSIGN(state.lastCheckIn, F::optionalInteger(doc, "lastCheckIn"));
  TORVO_ASSIGN(state.scheduledWake, F::optionalInteger(doc, "scheduledWake"));
  TORVO_ASSIGN(state.scheduledEvery, F::optionalInteger(doc, "scheduledEvery"));
  TORVO_ASSIGN(state.lastNtfyID, F::optionalText(doc, "lastNtfyID"));

  const json& replay = F::member(doc, "replay");
  if (replay.is_null()) return badField("replay");
  TORVO_ASSIGN(state.replay, ReplayGuard::fromJSON(replay));
  const json& drops = F::member(doc, "drops");
  if (drops.is_null()) return badField("drops");
  TORVO_ASSIGN(state.drops, DropCounts::fromJSON(drops));

  TORVO_ASSIGN(state.relaySkew, F::optionalInteger(doc, "relaySkew"));
  TORVO_ASSIGN(state.relayReachable, F::optionalBoolean(doc, "relayReachable"));
  std::optional<std::string> reported;
  TORVO_ASSIGN(reported, F::optionalText(doc, "lastReportedState"));
  if (reported) {
    if (*reported == "awake") {
      state.lastReportedState = PowerState::awake;
    } else if (*reported == "asleep") {
      state.lastReportedState = PowerState::asleep;
    } else {
      return badField("lastReportedState");
    }
  }
  return state;
}

}  // namespace torvo
