// model/ (torvo_model): the records the agent keeps and shares with the app socket and the
// phone's side: paired devices and state with their files, setup and login-item records, and
// the channels that carry records between the computer and its phones.
//
// The agent's persisted model: the device list ("devices.json"), the state ("state.json") and
// the small records the engine, the check-in cycle and the app interface share (WakeRecord,
// DropCounts, MacFacts). JSON forms: optional fields are left out when absent and read as
// absent when missing or null; a missing required key makes the record unreadable.
// Plain values owned by the agent on its thread; no locking of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/decoded.h"
#include "kit/bytes.h"
#include "kit/messages.h"
#include "kit/replay_guard.h"
#include "kit/url.h"

namespace torvo {

// Who started a Wake: a phone (with its kid) or "this Mac" (without).
struct WakeRecord {
  std::string name;
  std::int64_t at = 0;
  std::optional<std::string> kid;

  nlohmann::json toJSON() const;
  static Decoded<WakeRecord> fromJSON(const nlohmann::json& json);
  bool operator==(const WakeRecord&) const = default;
};

// Counters of dropped inbound messages.
struct DropCounts {
  std::int64_t invalid = 0;
  std::int64_t replay = 0;
  std::int64_t clock = 0;
  std::int64_t role = 0;

  nlohmann::json toJSON() const;
  static Decoded<DropCounts> fromJSON(const nlohmann::json& json);
  bool operator==(const DropCounts&) const = default;
};

// The facts about the computer a state report needs (not persisted).
struct MacFacts {
  std::optional<std::int64_t> battery;
  bool charging = false;
  bool onCharger = false;
  std::string macName;
  std::string timeZone;  // identifier, for example "Europe/Berlin"

  bool operator==(const MacFacts&) const = default;
};

// One paired phone. Pending until its first accepted message sets `lastSeen`.
struct PairedDevice {
  std::string kid;
  Bytes keyData;  // 32 raw bytes; standard Base64 with padding in JSON
  std::string name;
  std::int64_t pairedAt = 0;
  std::optional<std::int64_t> lastSeen;

  bool isConfirmed() const { return lastSeen.has_value(); }
  ByteView key() const { return keyData; }

  nlohmann::json toJSON() const;
  static Decoded<PairedDevice> fromJSON(const nlohmann::json& json);
  bool operator==(const PairedDevice&) const = default;
};

struct DevicesFile {
  static constexpr std::size_t maxDevices = 10;
  static constexpr std::int64_t pairingLifetime = 300;  // seconds a pending pairing stays

  std::string relay;  // base address without trailing "/"
  std::string topic;
  std::vector<PairedDevice> devices;

  DevicesFile() = default;
  // Removes every trailing "/" from `relay`.
  DevicesFile(std::string relay, std::string topic, std::vector<PairedDevice> devices = {});

  std::vector<PairedDevice> confirmed() const;
  // The first device with this kid.
  const PairedDevice* key(std::string_view kid) const;
  PairedDevice* key(std::string_view kid);
  // The relay parsed as a URL, or nothing when it does not parse.
  std::optional<Url> relayURL() const;
  // Removes pending devices paired `pairingLifetime` seconds or more before `now`; returns
  // their kids in stored order.
  std::vector<std::string> pruneExpired(std::int64_t now);

  nlohmann::json toJSON() const;
  // Takes the relay as stored (no slash removal).
  static Decoded<DevicesFile> fromJSON(const nlohmann::json& json);
  bool operator==(const DevicesFile&) const = default;
};

struct AgentStateFile {
  std::optional<std::int64_t> awakeUntil;
  std::optional<std::int64_t> wakeSentAt;
  std::optional<WakeRecord> wokenBy;
  std::optional<WakeRecord> lastPhoneWake;
  std::optional<std::int64_t> lastCheckIn;
  std::optional<std::int64_t> scheduledWake;
  std::optional<std::int64_t> scheduledEvery;
  std::optional<std::string> lastNtfyID;
  ReplayGuard replay;
  DropCounts drops;
  std::optional<std::int64_t> relaySkew;
  std::optional<bool> relayReachable;
  std::optional<PowerState> lastReportedState;

  nlohmann::json toJSON() const;
  static Decoded<AgentStateFile> fromJSON(const nlohmann::json& json);
  bool operator==(const AgentStateFile&) const = default;
};

}  // namespace torvo
