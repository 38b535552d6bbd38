// The vocabulary of system settings: one command line of a platform tool (`SystemCommand`),
// the keys and scopes that name the settings it changes, and `SystemSettings`, the interface
// through which the agent reads and changes them. Abstract so it can be faked; the real
// implementation runs the tools, the fake records what it was asked.
// Implementations are called from the agent's thread only.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/setup_records.h"

namespace torvo {

enum class PmsetScope { charger, all };
enum class PmsetKey { womp, autorestart };
enum class UpdateKey { AutomaticallyInstallMacOSUpdates, AutomaticDownload, CriticalUpdateInstall };

std::string_view text(PmsetScope scope);  // "-c", "-a"
std::string_view text(PmsetKey key);      // "womp", "autorestart"
std::string_view text(UpdateKey key);     // the key's own name

inline constexpr PmsetKey allPmsetKeys[] = {PmsetKey::womp, PmsetKey::autorestart};
inline constexpr UpdateKey allUpdateKeys[] = {UpdateKey::AutomaticallyInstallMacOSUpdates,
                                              UpdateKey::AutomaticDownload,
                                              UpdateKey::CriticalUpdateInstall};

struct SystemCommand {
  std::string executable;  // absolute path of the tool
  std::vector<std::string> arguments;

  // The tool's file name and every argument, joined by single spaces.
  std::string description() const;

  static SystemCommand pmset(PmsetScope scope, PmsetKey key, std::int64_t value);
  static SystemCommand writeUpdate(UpdateKey key, bool value);
  static SystemCommand deleteUpdate(UpdateKey key);

  bool operator==(const SystemCommand&) const = default;
};

class SystemSettings {
 public:
  virtual ~SystemSettings() = default;
  // The text of the current custom power settings report.
  virtual std::string pmsetCustom() = 0;
  // The update preference's value as text, or nothing.
  virtual std::optional<std::string> readUpdate(UpdateKey key) = 0;
  // Runs the command; true on success.
  virtual bool run(const SystemCommand& command) = 0;
  // The console user's background login items, or nothing when there is no list to give.
  virtual std::optional<std::vector<LoginItem>> loginItems() { return std::nullopt; }
};

}  // namespace torvo
