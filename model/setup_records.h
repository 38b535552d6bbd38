// The records of the one-time system setup, its backup and undo, and of one login item, with
// their JSON forms as the app protocol and the backup file carry them. Enumerations with
// payloads are one-key objects named after the case. Plain values; any thread may use its own
// copy.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/decoded.h"

namespace torvo {

// What the user asked for; a false choice leaves the setting alone.
struct SetupChoices {
  bool wakeForNetwork = false;
  bool restartAfterPowerCut = false;
  bool pauseUpdates = false;

  nlohmann::json toJSON() const;
  static Decoded<SetupChoices> fromJSON(const nlohmann::json& json);
  bool operator==(const SetupChoices&) const = default;
};

// How soon the screen locks: never, at once, or after some seconds.
struct ScreenLockSetting {
  struct Off {
    bool operator==(const Off&) const = default;
  };
  struct Immediate {
    bool operator==(const Immediate&) const = default;
  };
  struct Seconds {
    std::int64_t value = 0;
    bool operator==(const Seconds&) const = default;
  };
  std::variant<Off, Immediate, Seconds> value;

  static ScreenLockSetting off() { return {Off{}}; }
  static ScreenLockSetting immediate() { return {Immediate{}}; }
  static ScreenLockSetting seconds(std::int64_t s) { return {Seconds{s}}; }

  // {"off":{}}, {"immediate":{}} or {"seconds":{"_0":n}}.
  nlohmann::json toJSON() const;
  static Decoded<ScreenLockSetting> fromJSON(const nlohmann::json& json);
  bool operator==(const ScreenLockSetting&) const = default;
};

// A change the app made itself: the screen-lock delay in force before it changed it.
struct UserChange {
  ScreenLockSetting screenLockOriginal;

  // {"screenLockOriginal":{"_0":<setting>}}
  nlohmann::json toJSON() const;
  static Decoded<UserChange> fromJSON(const nlohmann::json& json);
  bool operator==(const UserChange&) const = default;
};

// The values from before the setup's first change.
struct Backup {
  std::int64_t takenAt = 0;
  std::map<std::string, std::int64_t> pmset;                 // by pmset key text
  std::map<std::string, std::optional<bool>> updates;        // null: not set or not a Boolean
  std::optional<ScreenLockSetting> screenLock;

  explicit Backup(std::int64_t takenAt = 0) : takenAt(takenAt) {}
  bool isEmpty() const { return pmset.empty() && updates.empty() && !screenLock; }

  nlohmann::json toJSON() const;
  static Decoded<Backup> fromJSON(const nlohmann::json& json);
  bool operator==(const Backup&) const = default;
};

// What the app shows about the setup.
struct SetupStatus {
  std::optional<bool> wakeForNetwork;
  std::optional<bool> restartAfterPowerCut;
  bool updatesPaused = false;
  bool hasBackup = false;
  std::vector<std::string> undoSummary;

  nlohmann::json toJSON() const;
  static Decoded<SetupStatus> fromJSON(const nlohmann::json& json);
  bool operator==(const SetupStatus&) const = default;
};

// The outcome of undo.
struct UndoResult {
  std::vector<std::string> restored;
  std::vector<std::string> failed;
  std::optional<ScreenLockSetting> screenLock;

  nlohmann::json toJSON() const;
  static Decoded<UndoResult> fromJSON(const nlohmann::json& json);
  bool operator==(const UndoResult&) const = default;
};

// One entry of the console user's background-items list.
struct LoginItem {
  std::string name;
  std::optional<std::string> path;
  std::optional<std::string> bundleID;
  std::optional<std::string> parentID;  // bundle identifier of the app that registered it

  nlohmann::json toJSON() const;
  static Decoded<LoginItem> fromJSON(const nlohmann::json& json);
  bool operator==(const LoginItem&) const = default;
};
}  // namespace torvo
