#include "platform/linux/apt_updates.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <map>

#include "base/file_store.h"
#include "setup/report_text.h"
#include "setup/tool_runner.h"

namespace torvo {
namespace {

namespace fs = std::filesystem;

using Options = std::map<std::string, std::string>;

constexpr std::string_view dropInHeader =
    "// Written by torvo-agent's system setup: automatic updates paused so that an update does\n"
    "// not restart this computer while a phone keeps it awake. 'torvo-ctl setup-undo' takes\n"
    "// these lines back and removes the file.\n";

// The options of the drop-in, from the lines NAME "VALUE"; that dropInText writes.
Options parseDropIn(std::string_view text) {
  Options options;
  for (const auto raw : ReportText::lines(text)) {
    const auto line = ReportText::trimmed(raw);
    if (line.starts_with("//") || line.starts_with('#')) continue;
    const auto space = line.find(' ');
    if (space == std::string_view::npos || !line.ends_with("\";")) continue;
    const auto value = line.substr(space + 1);
    if (value.size() < 3 || value.front() != '"') continue;
    options[std::string(line.substr(0, space))] = std::string(value.substr(1, value.size() - 3));
  }
  return options;
}

std::string dropInText(const Options& options) {
  std::string text(dropInHeader);
  for (const auto& [name, value] : options) text += name + " \"" + value + "\";\n";
  return text;
}

// apt's own reading of a periodic option: a number of days (0 is off), "always", or one of
// its Boolean words.
std::string normalized(const std::string& value) {
  const auto lower = ReportText::lowered(value);
  std::int64_t days = 0;
  const auto* end = lower.data() + lower.size();
  if (const auto [stop, error] = std::from_chars(lower.data(), end, days);
      !lower.empty() && error == std::errc() && stop == end) {
    return days > 0 ? "1" : "0";
  }
  for (const char* word : {"always", "yes", "true", "with", "on", "enable"}) {
    if (lower == word) return "1";
  }
  for (const char* word : {"no", "false", "without", "off", "disable"}) {
    if (lower == word) return "0";
  }
  return value;
}

class DropIn {
 public:
  explicit DropIn(fs::path path) : path_(std::move(path)) {}

  // Nothing when the file cannot be read safely.
  std::optional<Options> load() const {
    try {
      const auto text = store_.read(path_);
      return text ? parseDropIn(*text) : Options{};
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }

  bool save(const Options& options) const {
    try {
      if (options.empty()) {
        store_.remove(path_);
        return !fs::exists(path_);
      }
      store_.write(dropInText(options), path_, 0644);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }

 private:
  fs::path path_;
  FileStore store_{::geteuid()};
};

}  // namespace

std::string_view AptUpdates::option(UpdateKey key) {
  switch (key) {
    case UpdateKey::AutomaticallyInstallMacOSUpdates: return "APT::Periodic::Unattended-Upgrade";
    case UpdateKey::AutomaticDownload: return "APT::Periodic::Download-Upgradeable-Packages";
    case UpdateKey::CriticalUpdateInstall: return "APT::Periodic::Update-Package-Lists";
  }
  return "";
}

std::optional<std::string> AptUpdates::read(UpdateKey key) const {
  std::error_code error;
  if (!fs::exists(places_.unattendedUpgrade, error)) return "0";
  const auto result = ToolRunner::capture(
      places_.aptConfig, {"shell", "VALUE", std::string(option(key))}, toolTimeout);
  // apt-config prints VALUE='text' for a set option and nothing for an unset one.
  const auto line = std::string(ReportText::trimmed(result.output, true));
  constexpr std::string_view prefix = "VALUE='";
  if (result.status != 0 || !line.starts_with(prefix) || !line.ends_with('\'')) {
    return std::nullopt;
  }
  return normalized(line.substr(prefix.size(), line.size() - prefix.size() - 1));
}

int AptUpdates::write(UpdateKey key, bool on) const {
  const std::string wanted = on ? "1" : "0";
  if (remove(key) != 0) return 1;
  if (read(key) == wanted) return 0;
  const DropIn dropIn(places_.dropIn);
  auto options = dropIn.load();
  if (!options) return 1;
  (*options)[std::string(option(key))] = wanted;
  if (!dropIn.save(*options)) return 1;
  if (read(key) == wanted) return 0;
  // Another file overrides the drop-in, or apt cannot be asked: leave nothing behind.
  remove(key);
  return 1;
}

int AptUpdates::remove(UpdateKey key) const {
  const DropIn dropIn(places_.dropIn);
  auto options = dropIn.load();
  if (!options) return 1;
  if (options->erase(std::string(option(key))) == 0) return 0;
  return dropIn.save(*options) ? 0 : 1;
}

}  // namespace torvo
