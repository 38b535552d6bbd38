#include "platform/linux/wake_on_lan.h"

#include <unistd.h>

#include <algorithm>

#include "base/file_store.h"
#include "platform/linux/wired_interfaces.h"
#include "setup/report_text.h"
#include "setup/tool_runner.h"

namespace torvo {
namespace {

constexpr const char* profileSetting = "802-3-ethernet.wake-on-lan";

std::string after(std::string_view line, std::string_view prefix) {
  return std::string(ReportText::trimmed(line.substr(prefix.size())));
}

std::vector<std::string> fields(std::string_view line) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (true) {
    const auto tab = line.find('\t', start);
    out.emplace_back(line.substr(start, tab == std::string_view::npos ? line.npos : tab - start));
    if (tab == std::string_view::npos) return out;
    start = tab + 1;
  }
}

}  // namespace

std::optional<WakeOnLan::Interface> WakeOnLan::parse(const std::string& name,
                                                      const std::string& report) {
  std::optional<std::string> supports;
  std::optional<std::string> wakeOn;
  for (const auto raw : ReportText::lines(report)) {
    const auto line = ReportText::trimmed(raw);
    if (line.starts_with("Supports Wake-on:")) supports = after(line, "Supports Wake-on:");
    if (line.starts_with("Wake-on:")) wakeOn = after(line, "Wake-on:");
  }
  if (!supports || !wakeOn) return std::nullopt;
  return Interface{name, *supports, *wakeOn};
}

std::vector<WakeOnLan::Interface> WakeOnLan::capable() const {
  std::vector<Interface> interfaces;
  for (const auto& name : WiredInterfaces::names(places_.net)) {
    const auto result = ToolRunner::capture(places_.ethtool, {name}, toolTimeout);
    const auto interface = parse(name, result.output);
    if (interface && interface->supports.find('g') != std::string::npos) {
      interfaces.push_back(*interface);
    }
  }
  return interfaces;
}

std::optional<bool> WakeOnLan::reading() const {
  const auto interfaces = capable();
  if (interfaces.empty()) return std::nullopt;
  for (const auto& interface : interfaces) {
    if (!interface.magic()) return false;
  }
  return true;
}

int WakeOnLan::set(bool on) const {
  auto record = loadRecord();
  bool ok = true;
  if (on) {
    for (const auto& interface : capable()) {
      if (interface.magic()) continue;
      // Magic packets join the modes already on ("d" stands for none).
      Change change{interface.name, (interface.wakeOn == "d" ? "" : interface.wakeOn) + "g",
                    interface.wakeOn, "", ""};
      if (!ethtoolSet(change.name, change.set)) {
        ok = false;
        continue;
      }
      if (const auto profile = profileOf(change.name)) {
        const auto before = profileValue(*profile);
        if (before && setProfile(*profile, "magic")) {
          change.profileBefore = *before;
          change.profile = *profile;
        } else {
          ok = false;
        }
      }
      // An interface already in the record keeps the value from before the first change.
      const bool recorded = std::ranges::any_of(
          record, [&](const Change& earlier) { return earlier.name == change.name; });
      if (!recorded) record.push_back(change);
    }
    return saveRecord(record) && ok ? 0 : 1;
  }

  if (record.empty()) {
    for (const auto& interface : capable()) {
      if (interface.magic() && !ethtoolSet(interface.name, "d")) ok = false;
    }
    return ok ? 0 : 1;
  }
  std::vector<Change> left;
  for (const auto& change : record) {
    bool taken = ethtoolSet(change.name, change.before);
    if (!change.profile.empty()) {
      taken = setProfile(change.profile, change.profileBefore) && taken;
    }
    if (!taken) left.push_back(change);
  }
  return saveRecord(left) && left.empty() ? 0 : 1;
}

bool WakeOnLan::ethtoolSet(const std::string& name, const std::string& value) const {
  return ToolRunner::capture(places_.ethtool, {"-s", name, "wol", value}, toolTimeout).status == 0;
}

std::optional<std::string> WakeOnLan::profileOf(const std::string& name) const {
  // Without nmcli the tool cannot start (status -1): no profile.
  const auto result = ToolRunner::capture(
      places_.nmcli, {"-g", "GENERAL.CONNECTION", "device", "show", name}, toolTimeout);
  const auto profile = std::string(ReportText::trimmed(result.output, true));
  if (result.status != 0 || profile.empty()) return std::nullopt;
  return profile;
}

std::optional<std::string> WakeOnLan::profileValue(const std::string& profile) const {
  const auto result = ToolRunner::capture(
      places_.nmcli, {"-g", profileSetting, "connection", "show", "id", profile}, toolTimeout);
  if (result.status != 0) return std::nullopt;
  const auto value = std::string(ReportText::trimmed(result.output, true));
  return value.empty() ? "default" : value;
}

bool WakeOnLan::setProfile(const std::string& profile, const std::string& value) const {
  return ToolRunner::capture(places_.nmcli,
                             {"connection", "modify", "id", profile, profileSetting, value},
                             toolTimeout)
             .status == 0;
}

std::vector<WakeOnLan::Change> WakeOnLan::parseRecord(const std::string& text) {
  std::vector<Change> changes;
  for (const auto line : ReportText::lines(text)) {
    auto parts = fields(line);
    if (parts.size() != 5 || parts[0].empty() || parts[1].empty() || parts[2].empty()) continue;
    changes.push_back({parts[0], parts[1], parts[2], parts[3], parts[4]});
  }
  return changes;
}

std::string WakeOnLan::recordText(const std::vector<Change>& changes) {
  std::string text;
  for (const auto& change : changes) {
    text += change.name + "\t" + change.set + "\t" + change.before + "\t" + change.profileBefore +
            "\t" + change.profile + "\n";
  }
  return text;
}

std::vector<WakeOnLan::Change> WakeOnLan::loadRecord() const {
  try {
    const auto text = FileStore(::geteuid()).read(places_.record);
    return text ? parseRecord(*text) : std::vector<Change>{};
  } catch (const std::exception&) {
    return {};
  }
}

bool WakeOnLan::saveRecord(const std::vector<Change>& changes) const {
  const FileStore store(::geteuid());
  try {
    if (changes.empty()) {
      store.remove(places_.record);
    } else {
      store.write(recordText(changes), places_.record, 0644);
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace torvo
