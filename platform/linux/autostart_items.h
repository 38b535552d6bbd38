// AutostartItems: the programs that start by themselves when one user logs in to a Linux
// desktop, as login items. They are the XDG autostart entries (the system's and the user's
// "*.desktop" files, the user's replacing the system's of the same name) and the systemd user
// units the user enabled (links in ~/.config/systemd/user/*.wants/). Reads only the folders it
// is given, never the programs the entries name; files it cannot read or make sense of are
// skipped. Stateless; safe from any thread. LinuxSystemSettings calls it for the console user.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/setup_records.h"

namespace torvo::AutostartItems {

// Where one user's login items are read from.
struct Folders {
  std::filesystem::path userConfig;  // the user's ~/.config
  std::filesystem::path systemAutostart = "/etc/xdg/autostart";
};

inline constexpr std::size_t maxItems = 200;

// The login item of one autostart entry, from its file's text and its desktop file ID (the
// file name without ".desktop"); absent when the text is no desktop entry, is not UTF-8, or
// the entry is hidden, disabled or no application.
std::optional<LoginItem> desktopEntry(std::string_view text, const std::string& id);

// The user's enabled login items: XDG autostart entries by file name, then enabled systemd
// user units by unit name. Stops (returning what it has) once `deadline` has passed or
// maxItems are found. A folder that is missing or cannot be listed adds nothing.
std::vector<LoginItem> read(const Folders& folders, std::chrono::steady_clock::time_point deadline);

}  // namespace torvo::AutostartItems
