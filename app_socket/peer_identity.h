// Who is on the other end of a local socket, on Linux: the user and process id from
// SO_PEERCRED, the program from /proc/<pid>/exe, and as its path the nearest enclosing folder
// whose name ends in ".app" (the app bundle), or the program itself when there is none.
// Linux has no code signatures; the one requirement form that can hold is `identifier "X"`:
// the bundle's Contents/Info.plist (XML or binary) names X as CFBundleIdentifier, and the
// bundle, every folder down to the program, the Info.plist and the program are owned by root
// and not writable by group or others. Any other requirement text never holds.
// Stateless; safe from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "app_socket/peer_policy.h"

namespace torvo::Peer {

// The identity of the peer of connected socket `fd`, or nothing when its credentials cannot
// be read. Reading another user's program path needs root; without it the path is absent.
std::optional<PeerIdentity> identify(int fd, const std::optional<std::string>& requirement);

// The nearest folder above `program` whose name ends in ".app", or nothing.
std::optional<std::filesystem::path> enclosingBundle(const std::filesystem::path& program);

// Whether `program` satisfies `requirement` by the rule above.
bool satisfies(const std::filesystem::path& program, std::string_view requirement);

}  // namespace torvo::Peer
