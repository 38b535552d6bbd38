// setup/ (torvo_setup): the one-time system setup and its undo, the settings commands and the
// tool runner that carries them out, the login apps and background items, the service install
// scripts.
//
// Setup: the one-time system setup (wake for network access, restart after a power cut,
// automatic updates paused), the backup of the values it replaced, the status the app shows and
// the undo. Stateless functions that reach the system only through SystemSettings; the agent
// owns the one Backup and saves it after every call that returns a new one. Called from the
// agent's thread (they block while the settings' tools run).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/setup_records.h"
#include "setup/system_settings.h"

namespace torvo {

// The display text of a screen-lock delay: "Never", "Immediately", "After 5 minutes", …
std::string label(const ScreenLockSetting& setting);

// Reads a screen-lock status text such as "screenLock delay is 300 seconds"; nothing when it
// names no delay.
std::optional<ScreenLockSetting> parseScreenLock(std::string_view text);

namespace Setup {

struct Applied {
  Backup backup;
  std::vector<std::string> failed;  // sorted, without duplicates
  bool operator==(const Applied&) const = default;
};

// Makes the chosen changes, saving each value in the backup before its first change.
Applied apply(const SetupChoices& choices, SystemSettings& sys,
              const std::optional<Backup>& backup, std::int64_t now);

// Adds the screen-lock delay the app found to the backup; the first recorded value stays.
Backup record(const UserChange& change, const std::optional<Backup>& in, std::int64_t now);

SetupStatus status(SystemSettings& sys, const std::optional<Backup>& backup);

// Runs every undo command, whatever the earlier ones gave. Leaves the backup to the caller.
UndoResult undo(const Backup& backup, SystemSettings& sys);

std::vector<SystemCommand> undoCommands(const Backup& backup);
std::vector<std::string> undoSummary(const Backup& backup);

// The AC power section of a "pmset -g custom" report, setting name to value.
std::map<std::string, std::int64_t> parseAC(std::string_view report);

}  // namespace Setup
}  // namespace torvo
