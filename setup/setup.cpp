#include "setup/setup.h"

#include <algorithm>
#include <charconv>

#include "setup/report_text.h"

namespace torvo {
namespace {

constexpr std::int64_t maxScreenLockSeconds = 86400;

std::optional<std::int64_t> integer(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return std::nullopt;
  std::int64_t value = 0;
  const auto* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

// The Boolean reading of an update preference's text; nothing for no text or any other text.
std::optional<bool> boolean(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  const auto value = ReportText::lowered(*text);
  if (value == "1" || value == "true" || value == "yes") return true;
  if (value == "0" || value == "false" || value == "no") return false;
  return std::nullopt;
}

std::string plural(std::int64_t n, const char* unit) {
  return n == 1 ? std::string("After 1 ") + unit
                : "After " + std::to_string(n) + " " + unit + "s";
}

struct PowerChoice {
  PmsetKey key;
  PmsetScope scope;
  const char* failure;
};

constexpr PowerChoice wakeForNetwork{PmsetKey::womp, PmsetScope::charger,
                                     "Wake for network access"};
constexpr PowerChoice restartAfterPowerCut{PmsetKey::autorestart, PmsetScope::all,
                                           "Restart after a power cut"};

PmsetScope scopeOf(PmsetKey key) {
  return key == PmsetKey::womp ? wakeForNetwork.scope : restartAfterPowerCut.scope;
}

std::string onOff(std::int64_t value) { return value == 1 ? "on" : "off"; }

}  // namespace

std::string label(const ScreenLockSetting& setting) {
  if (std::holds_alternative<ScreenLockSetting::Off>(setting.value)) return "Never";
  if (std::holds_alternative<ScreenLockSetting::Immediate>(setting.value)) return "Immediately";
  const auto n = std::get<ScreenLockSetting::Seconds>(setting.value).value;
  if (n % 3600 == 0) return plural(n / 3600, "hour");
  if (n % 60 == 0) return plural(n / 60, "minute");
  return plural(n, "second");
}

std::optional<ScreenLockSetting> parseScreenLock(std::string_view text) {
  const auto lower = ReportText::lowered(text);
  if (lower.find("is off") != std::string::npos) return ScreenLockSetting::off();
  if (lower.find("immediate") != std::string::npos) return ScreenLockSetting::immediate();
  const auto words = ReportText::words(lower, true);
  for (std::size_t i = 1; i < words.size(); ++i) {
    if (!words[i].starts_with("second")) continue;
    const auto& number = words[i - 1];
    if (!std::ranges::all_of(number, [](char c) { return c >= '0' && c <= '9'; })) continue;
    const auto n = integer(number);
    if (!n || *n > maxScreenLockSeconds) continue;
    return *n == 0 ? ScreenLockSetting::immediate() : ScreenLockSetting::seconds(*n);
  }
  return std::nullopt;
}

namespace Setup {

std::map<std::string, std::int64_t> parseAC(std::string_view report) {
  std::map<std::string, std::int64_t> values;
  bool inAC = false;
  for (const auto line : ReportText::lines(report)) {
    if (!line.starts_with(' ') && line.ends_with(':')) {
      inAC = line.starts_with("AC Power");
      continue;
    }
    if (!inAC) continue;
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (start <= line.size()) {
      const auto space = std::min(line.find(' ', start), line.size());
      if (space > start) pieces.push_back(line.substr(start, space - start));
      start = space + 1;
    }
    if (pieces.size() < 2) continue;
    const auto value = integer(pieces.back());
    if (!value) continue;
    std::string name(pieces.front());
    for (std::size_t i = 1; i + 1 < pieces.size(); ++i) name += " " + std::string(pieces[i]);
    values[name] = *value;
  }
  return values;
}

Applied apply(const SetupChoices& choices, SystemSettings& sys,
              const std::optional<Backup>& backup, std::int64_t now) {
  Applied out{backup.value_or(Backup(now)), {}};
  const auto current = parseAC(sys.pmsetCustom());

  for (const auto& [chosen, power] : {std::pair{choices.wakeForNetwork, wakeForNetwork},
                                      std::pair{choices.restartAfterPowerCut,
                                                restartAfterPowerCut}}) {
    if (!chosen) continue;
    const std::string key(text(power.key));
    const auto found = current.find(key);
    if (found == current.end()) continue;  // the machine does not offer this setting
    out.backup.pmset.try_emplace(key, found->second);
    if (found->second != 1 && !sys.run(SystemCommand::pmset(power.scope, power.key, 1))) {
      out.failed.push_back(power.failure);
    }
  }

  if (choices.pauseUpdates) {
    for (const auto key : allUpdateKeys) {
      const auto reading = boolean(sys.readUpdate(key));
      out.backup.updates.try_emplace(std::string(text(key)), reading);
      if (reading != false && !sys.run(SystemCommand::writeUpdate(key, false))) {
        out.failed.push_back("Automatic updates");
      }
    }
  }

  std::ranges::sort(out.failed);
  out.failed.erase(std::unique(out.failed.begin(), out.failed.end()), out.failed.end());
  return out;
}

Backup record(const UserChange& change, const std::optional<Backup>& in, std::int64_t now) {
  Backup out = in.value_or(Backup(now));
  if (!out.screenLock) out.screenLock = change.screenLockOriginal;
  return out;
}

SetupStatus status(SystemSettings& sys, const std::optional<Backup>& backup) {
  SetupStatus out;
  const auto current = parseAC(sys.pmsetCustom());
  if (const auto it = current.find("womp"); it != current.end()) out.wakeForNetwork = it->second == 1;
  if (const auto it = current.find("autorestart"); it != current.end()) {
    out.restartAfterPowerCut = it->second == 1;
  }
  out.updatesPaused = std::ranges::all_of(
      allUpdateKeys, [&](UpdateKey key) { return boolean(sys.readUpdate(key)) == false; });
  if (backup) {
    out.hasBackup = !backup->isEmpty();
    out.undoSummary = undoSummary(*backup);
  }
  return out;
}

std::vector<std::string> undoSummary(const Backup& backup) {
  std::vector<std::string> lines;
  if (const auto it = backup.pmset.find("womp"); it != backup.pmset.end()) {
    lines.push_back("Wake for network access: " + onOff(it->second));
  }
  if (const auto it = backup.pmset.find("autorestart"); it != backup.pmset.end()) {
    lines.push_back("Restart after a power cut: " + onOff(it->second));
  }
  if (!backup.updates.empty()) lines.push_back("Automatic updates: as before");
  if (backup.screenLock) lines.push_back("Screen lock: " + label(*backup.screenLock));
  return lines;
}

std::vector<SystemCommand> undoCommands(const Backup& backup) {
  std::vector<SystemCommand> commands;
  for (const auto key : allPmsetKeys) {
    const auto it = backup.pmset.find(std::string(text(key)));
    if (it != backup.pmset.end()) {
      commands.push_back(SystemCommand::pmset(scopeOf(key), key, it->second));
    }
  }
  for (const auto key : allUpdateKeys) {
    const auto it = backup.updates.find(std::string(text(key)));
    if (it == backup.updates.end()) continue;
    commands.push_back(it->second ? SystemCommand::writeUpdate(key, *it->second)
                                  : SystemCommand::deleteUpdate(key));
  }
  return commands;
}

UndoResult undo(const Backup& backup, SystemSettings& sys) {
  UndoResult out;
  for (const auto& command : undoCommands(backup)) {
    (sys.run(command) ? out.restored : out.failed).push_back(command.description());
  }
  out.screenLock = backup.screenLock;
  return out;
}

}  // namespace Setup
}  // namespace torvo
