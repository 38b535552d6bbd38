// Who is on the other end of a local socket, on Linux: the user and process id from
// SO_PEERCRED, the program from /proc/<pid>/exe, and as its path the nearest enclosing folder
// whose name ends in ".app" (the app bundle), or the program itself when there is none.
// Linux has no code signatures; the one requirement form that can hold is `identifier "X"`:
// the bundle's Contents/Info.plist (XML or binary) names X as CFBundleIdentifier, and the
// bundle, every folder down to the program, the Info.plist and the program are owned by root
// and not writable by group or others. Any other requirement text never holds.
//
// The program is identified by what is running, not only by the path the kernel reports: the
// device and inode of the running image (/proc/<pid>/exe followed) must be those of the file
// at that path, so an image deleted or replaced since it started, or a file mounted over the
// path in another mount namespace, has no path and fails the requirement. The process is
// held by a pidfd for the length of the check (taken right after SO_PEERCRED; SO_PEERPIDFD
// where the headers have it), and a process that ended, was replaced by another with its id,
// or ran another program before the check was over is refused.
//
// What this proves: the peer's user, and that the program file it runs is the root-owned,
// installed one. What it cannot prove: that a process of that user was not traced,
// preloaded or otherwise steered by that same user, or that the connection was not handed
// to it by another process of that user; between the connect and pidfd_open a process id
// could in principle pass to a new process. The user check is the real boundary; the
// program check keeps other apps of that user from passing for the installed one.
// Stateless apart from PinnedProcess values; safe from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app_socket/peer_policy.h"

namespace torvo::Peer {

// Says from the peer's user id whether its program is worth identifying at all.
using ProgramWanted = std::function<bool(std::uint32_t uid)>;

// The identity of the peer of connected socket `fd`, or nothing when its credentials cannot
// be read or its process changed while its program was being identified. When `wanted` is
// given and says no for the peer's user, the program is not looked at (path absent,
// signatureOK false): the server checks the user first so that another user's peer costs no
// file checks. Reading another user's program needs root; without it the path is absent.
std::optional<PeerIdentity> identify(int fd, const std::optional<std::string>& requirement,
                                     const ProgramWanted& wanted = {});

// One process held still for the length of a check: a pidfd where the kernel gives one (so
// its process id cannot pass to another process unnoticed), its start time and the device
// and inode of its running image. Move-only; owns and closes the pidfd.
class PinnedProcess {
 public:
  // Pins process `pid`, taking over `pidfd` when it is one of that process (from
  // SO_PEERPIDFD), else opening one. Nothing when the process is gone or its start time or
  // image cannot be read (another user's process without root).
  static std::optional<PinnedProcess> pin(pid_t pid, int pidfd = -1);

  PinnedProcess(PinnedProcess&& other) noexcept;
  PinnedProcess& operator=(PinnedProcess&&) = delete;
  PinnedProcess(const PinnedProcess&) = delete;
  PinnedProcess& operator=(const PinnedProcess&) = delete;
  ~PinnedProcess();

  // Whether the file at `path` itself (a final link not followed) is the running image.
  bool runs(const std::filesystem::path& path) const;
  // Whether it is still alive, still the process that was pinned and still runs that image.
  bool unchanged() const;

 private:
  PinnedProcess() = default;

  pid_t pid_ = 0;
  int pidfd_ = -1;
  std::uint64_t startTime_ = 0;
  dev_t imageDevice_ = 0;
  ino_t imageInode_ = 0;
};

// The nearest folder above `program` whose name ends in ".app", or nothing.
std::optional<std::filesystem::path> enclosingBundle(const std::filesystem::path& program);

// Whether `program` satisfies `requirement` by the rule above.
bool satisfies(const std::filesystem::path& program, std::string_view requirement);

}  // namespace torvo::Peer
