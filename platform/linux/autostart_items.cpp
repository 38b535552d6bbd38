#include "platform/linux/autostart_items.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "kit/unicode_text.h"

namespace torvo::AutostartItems {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Keys = std::map<std::string, std::string, std::less<>>;

constexpr std::string_view desktopSuffix = ".desktop";
// Desktop entries are a few kilobytes; a larger file is not one and is not read whole.
constexpr std::size_t maxDesktopFileSize = 64 * 1024;

// Login items travel as JSON text, so every name and path must be UTF-8 without NUL bytes.
bool isText(std::string_view text) {
  return text.find('\0') == std::string_view::npos && UnicodeText::isValidUTF8(text);
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The whole file; absent when it is not a regular file, cannot be read or is too large. The agent reads as root, so a file only the root of the system could
// read is skipped unless it belongs to `owner`, the owner of the folder that lists it: a link
// in a user's folder shows that user nothing the user could not read.
std::optional<std::string> textOf(const fs::path& file, uid_t owner) {
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  if ((status.st_mode & S_IROTH) == 0 && status.st_uid != owner) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(maxDesktopFileSize + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) return std::nullopt;
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > maxDesktopFileSize) return std::nullopt;
  return text;
}

// The keys of the [Desktop Entry] group (a key given twice keeps its first value); absent
// when the file has no such group. Keys are compared whole, so "Name[de]" is not "Name".
std::optional<Keys> desktopEntryKeys(std::string_view text) {
  Keys keys;
  bool found = false;
  bool inEntry = false;
  while (!text.empty()) {
    const auto end = std::min(text.find('\n'), text.size());
    const auto line = trimmed(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inEntry = line == "[Desktop Entry]";
      found = found || inEntry;
      continue;
    }
    const auto equals = line.find('=');
    if (!inEntry || equals == std::string_view::npos) continue;
    keys.emplace(trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1)));
  }
  if (!found) return std::nullopt;
  return keys;
}

// A string value with its escapes \s, \n, \t, \r and \\ replaced; any other backslash stays.
std::string unescaped(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      const char next = value[i + 1];
      const char replacement = next == 's'    ? ' '
                               : next == 'n'  ? '\n'
                               : next == 't'  ? '\t'
                               : next == 'r'  ? '\r'
                               : next == '\\' ? '\\'
                                              : '\0';
      if (replacement != '\0') {
        out += replacement;
        ++i;
        continue;
      }
    }
    out += value[i];
  }
  return out;
}

// The program of an Exec value: its first word, or the text of a leading double-quoted word
// (where a backslash takes the next character as it is). Absent for an empty command or a
// quote that is never closed.
std::optional<std::string> program(std::string_view exec) {
  const std::string command = unescaped(exec);
  const std::string_view rest = trimmed(command);
  if (rest.empty()) return std::nullopt;
  if (rest.front() != '"') return std::string(rest.substr(0, rest.find_first_of(" \t")));
  std::string word;
  for (std::size_t i = 1; i < rest.size(); ++i) {
    if (rest[i] == '"') return word.empty() ? std::nullopt : std::optional(word);
    if (rest[i] == '\\' && i + 1 < rest.size()) ++i;
    word += rest[i];
  }
  return std::nullopt;
}

// A reverse-DNS identifier such as "dev.zed.Zed": parts separated by dots, none empty.
bool isReverseDNS(std::string_view id) {
  return id.find('.') != std::string_view::npos && !id.starts_with('.') && !id.ends_with('.') &&
         id.find("..") == std::string_view::npos;
}

// The login item of one autostart entry with desktop file ID `id`; absent when the file
// cannot be read, is no desktop entry, or the entry is hidden, disabled or no application.
std::optional<LoginItem> desktopItem(const fs::path& file, uid_t owner, const std::string& id) {
  const auto text = textOf(file, owner);
  if (!text) return std::nullopt;
  return desktopEntry(*text, id);
}

// Calls `visit` with each entry of `folder` until the listing ends, fails or `deadline`
// passes. A folder that is missing or cannot be listed has no entries.
template <typename Visit>
void forEachEntry(const fs::path& folder, Clock::time_point deadline, Visit visit) {
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (Clock::now() >= deadline) return;
    visit(*it);
  }
}

// A desktop file with the owner of the folder that lists it.
struct DesktopFile {
  fs::path path;
  uid_t folderOwner;
};

// Adds the "*.desktop" files of `folder` by file name, replacing files of the same name.
void addDesktopFiles(const fs::path& folder, Clock::time_point deadline,
                     std::map<std::string, DesktopFile>& files) {
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0) return;
  forEachEntry(folder, deadline, [&](const fs::directory_entry& entry) {
    std::string name = entry.path().filename().string();
    if (name.size() > desktopSuffix.size() && name.ends_with(desktopSuffix) && isText(name)) {
      files.insert_or_assign(std::move(name), DesktopFile{entry.path(), status.st_uid});
    }
  });
}

// The units linked from the "*.wants" folders of `userUnits`, each with where its first link
// (by folder name) points; a relative target is taken from the link's folder.
std::map<std::string, std::string> wantedUnits(const fs::path& userUnits,
                                               Clock::time_point deadline) {
  std::vector<fs::path> wantsFolders;
  forEachEntry(userUnits, deadline, [&](const fs::directory_entry& entry) {
    std::error_code error;
    if (entry.path().filename().string().ends_with(".wants") && entry.is_directory(error)) {
      wantsFolders.push_back(entry.path());
    }
  });
  std::sort(wantsFolders.begin(), wantsFolders.end());

  std::map<std::string, std::string> units;
  for (const auto& folder : wantsFolders) {
    forEachEntry(folder, deadline, [&](const fs::directory_entry& entry) {
      // Only links count: reading a file that is no link fails.
      std::error_code error;
      fs::path target = fs::read_symlink(entry.path(), error);
      if (error || target.empty()) return;
      if (target.is_relative()) target = (folder / target).lexically_normal();
      std::string name = entry.path().filename().string();
      if (isText(name) && isText(target.string())) units.try_emplace(std::move(name), target);
    });
  }
  return units;
}

// A unit the user masked: its name directly in `userUnits` is a link to /dev/null.
bool isMasked(const fs::path& userUnits, const std::string& unit) {
  std::error_code error;
  return fs::read_symlink(userUnits / unit, error) == "/dev/null" && !error;
}

}  // namespace

std::optional<LoginItem> desktopEntry(std::string_view text, const std::string& id) {
  if (!isText(text) || !isText(id)) return std::nullopt;
  const auto keys = desktopEntryKeys(text);
  if (!keys) return std::nullopt;
  auto value = [&](std::string_view key) -> std::optional<std::string_view> {
    const auto it = keys->find(key);
    if (it == keys->end()) return std::nullopt;
    return it->second;
  };
  if (value("Hidden") == "true" || value("X-GNOME-Autostart-enabled") == "false") {
    return std::nullopt;
  }
  if (const auto type = value("Type"); type && *type != "Application") return std::nullopt;

  LoginItem item;
  item.name = unescaped(value("Name").value_or(""));
  if (item.name.empty()) item.name = id;
  if (const auto exec = value("Exec")) item.path = program(*exec);
  if (isReverseDNS(id)) item.bundleID = id;
  return item;
}

std::vector<LoginItem> read(const Folders& folders, Clock::time_point deadline) {
  std::vector<LoginItem> items;
  auto finished = [&] { return items.size() >= maxItems || Clock::now() >= deadline; };

  std::map<std::string, DesktopFile> desktopFiles;
  addDesktopFiles(folders.systemAutostart, deadline, desktopFiles);
  addDesktopFiles(folders.userConfig / "autostart", deadline, desktopFiles);
  for (const auto& [name, file] : desktopFiles) {
    if (finished()) return items;
    const auto id = name.substr(0, name.size() - desktopSuffix.size());
    if (auto item = desktopItem(file.path, file.folderOwner, id)) {
      items.push_back(std::move(*item));
    }
  }

  const fs::path userUnits = folders.userConfig / "systemd" / "user";
  for (const auto& [unit, target] : wantedUnits(userUnits, deadline)) {
    if (finished()) return items;
    if (!isMasked(userUnits, unit)) items.push_back({.name = unit, .path = target});
  }
  return items;
}

}  // namespace torvo::AutostartItems
