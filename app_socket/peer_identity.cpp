#include "app_socket/peer_identity.h"

#include <plist/plist.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <utility>

namespace torvo::Peer {

namespace {

constexpr std::uintmax_t maxInfoPlistBytes = 1024 * 1024;

// Owned by root, not writable by group or others, and of the expected kind; links are not
// followed, so a link planted in place of a part fails.
bool rootOwned(const std::filesystem::path& path, mode_t kind) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return false;
  return (info.st_mode & S_IFMT) == kind && info.st_uid == 0 &&
         (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The X of `identifier "X"`, or nothing for any other requirement text.
std::optional<std::string> requiredIdentifier(std::string_view requirement) {
  constexpr std::string_view prefix = "identifier \"";
  if (!requirement.starts_with(prefix) || !requirement.ends_with('"')) return std::nullopt;
  std::string_view value = requirement.substr(prefix.size());
  value.remove_suffix(1);
  if (value.empty() || value.find('"') != std::string_view::npos) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> bundleIdentifier(const std::filesystem::path& infoPlist) {
  std::error_code error;
  const auto size = std::filesystem::file_size(infoPlist, error);
  if (error || size > maxInfoPlistBytes) return std::nullopt;
  std::ifstream file(infoPlist, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (!file.good() && !file.eof()) return std::nullopt;
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
  const std::unique_ptr<void, decltype(&plist_free)> root(raw, &plist_free);
  if (root == nullptr || plist_get_node_type(raw) != PLIST_DICT) return std::nullopt;
  plist_t item = plist_dict_get_item(raw, "CFBundleIdentifier");
  if (item == nullptr || plist_get_node_type(item) != PLIST_STRING) return std::nullopt;
  // Read in place with its length: libplist aborts the process when asked for a copy of a text
  // that holds a NUL byte. libplist 2.2 gives the text up to its first NUL; later versions give
  // it whole, and no bundle identifier holds a NUL.
  std::uint64_t length = 0;
  const char* value = plist_get_string_ptr(item, &length);
  if (value == nullptr) return std::nullopt;
  std::string identifier(value, length);
  if (identifier.find('\0') != std::string::npos) return std::nullopt;
  return identifier;
}

std::string procPath(pid_t pid, const char* entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

// Field 22 of /proc/<pid>/stat, the process's start time in clock ticks after boot. It tells
// a process from a later one that got the same id. The command name (field 2) may hold spaces
// and parentheses, so the fields are counted from its closing parenthesis.
std::optional<std::uint64_t> startTime(pid_t pid) {
  std::ifstream file(procPath(pid, "stat"));
  std::string line;
  if (!std::getline(file, line)) return std::nullopt;
  const auto close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  for (int index = 3; index <= 22; ++index) {
    if (!(fields >> field)) return std::nullopt;
  }
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (error != std::errc() || end != field.data() + field.size()) return std::nullopt;
  return value;
}

// The device and inode of the running image: stat follows /proc/<pid>/exe to it.
std::optional<std::pair<dev_t, ino_t>> runningImage(pid_t pid) {
  struct stat info {};
  if (::stat(procPath(pid, "exe").c_str(), &info) != 0) return std::nullopt;
  return std::pair{info.st_dev, info.st_ino};
}

// pidfd calls go through syscall(): glibc 2.36's <sys/pidfd.h> declares its wrappers without C
// linkage, so C++ code cannot link against them.
int pidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)); }

int pidfdSendSignal(int pidfd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0U));
}

constexpr int peerGone = -2;

// A pidfd of the socket's peer where the headers know SO_PEERPIDFD and the kernel answers
// it; `peerGone` when the kernel says the peer has ended (opening one from the process id
// could then pin another process); else -1, and the caller opens one from the process id.
int peerPidfd([[maybe_unused]] int fd) {
#ifdef SO_PEERPIDFD
  int pidfd = -1;
  socklen_t size = sizeof pidfd;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &size) == 0 && size == sizeof pidfd) {
    return pidfd;
  }
  if (errno == ESRCH) return peerGone;
#endif
  return -1;
}

}  // namespace

std::optional<PinnedProcess> PinnedProcess::pin(pid_t pid, int pidfd) {
  PinnedProcess process;
  process.pid_ = pid;
  process.pidfd_ = pidfd >= 0 ? pidfd : pidfdOpen(pid);
  // Without pidfds (ENOSYS on an old kernel) the start time alone tells the process apart; a
  // process that is already gone has nothing left to identify.
  if (process.pidfd_ < 0 && errno == ESRCH) return std::nullopt;
  const auto started = startTime(pid);
  const auto image = runningImage(pid);
  if (!started || !image) return std::nullopt;
  process.startTime_ = *started;
  process.imageDevice_ = image->first;
  process.imageInode_ = image->second;
  return process;
}

PinnedProcess::PinnedProcess(PinnedProcess&& other) noexcept
    : pid_(other.pid_),
      pidfd_(std::exchange(other.pidfd_, -1)),
      startTime_(other.startTime_),
      imageDevice_(other.imageDevice_),
      imageInode_(other.imageInode_) {}

PinnedProcess::~PinnedProcess() {
  if (pidfd_ >= 0) ::close(pidfd_);
}

bool PinnedProcess::runs(const std::filesystem::path& path) const {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && info.st_dev == imageDevice_ &&
         info.st_ino == imageInode_;
}

bool PinnedProcess::unchanged() const {
  // Signal 0 only asks whether the pidfd's process still runs; EPERM (another user's process
  // when not root) still says it does.
  if (pidfd_ >= 0 && pidfdSendSignal(pidfd_, 0) != 0 && errno != EPERM) {
    return false;
  }
  return startTime(pid_) == startTime_ &&
         runningImage(pid_) == std::pair{imageDevice_, imageInode_};
}

std::optional<std::filesystem::path> enclosingBundle(const std::filesystem::path& program) {
  for (auto folder = program.parent_path(); folder.has_relative_path();
       folder = folder.parent_path()) {
    if (folder.filename().string().ends_with(".app")) return folder;
  }
  return std::nullopt;
}

bool satisfies(const std::filesystem::path& program, std::string_view requirement) {
  const auto identifier = requiredIdentifier(requirement);
  const auto bundle = enclosingBundle(program);
  if (!identifier || !bundle) return false;
  if (!rootOwned(program, S_IFREG)) return false;
  for (auto folder = program.parent_path(); folder != *bundle; folder = folder.parent_path()) {
    if (!rootOwned(folder, S_IFDIR)) return false;
  }
  const auto infoPlist = *bundle / "Contents" / "Info.plist";
  if (!rootOwned(*bundle, S_IFDIR) || !rootOwned(*bundle / "Contents", S_IFDIR) ||
      !rootOwned(infoPlist, S_IFREG)) {
    return false;
  }
  return bundleIdentifier(infoPlist) == identifier;
}

std::optional<PeerIdentity> identify(int fd, const std::optional<std::string>& requirement,
                                     const ProgramWanted& wanted) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials) {
    return std::nullopt;
  }
  PeerIdentity identity{.uid = credentials.uid, .pid = credentials.pid};
  if (wanted && !wanted(identity.uid)) return identity;
  const int pidfd = peerPidfd(fd);
  if (pidfd == peerGone) return identity;
  const auto process = PinnedProcess::pin(credentials.pid, pidfd);
  if (!process) return identity;
  std::error_code error;
  const auto program = std::filesystem::read_symlink(procPath(credentials.pid, "exe"), error);
  // The reported path must lead to the running image itself; otherwise (an image deleted or
  // replaced since it started, a file mounted over the path elsewhere) the program on disk
  // cannot be found.
  if (error || !program.is_absolute() || !process->runs(program)) return identity;
  const auto bundle = enclosingBundle(program);
  identity.path = (bundle ? *bundle : program).string();
  identity.signatureOK = !requirement || satisfies(program, *requirement);
  if (!process->unchanged()) return std::nullopt;
  return identity;
}

}  // namespace torvo::Peer
