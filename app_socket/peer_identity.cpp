#include "app_socket/peer_identity.h"

#include <plist/plist.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>

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

}  // namespace

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

std::optional<PeerIdentity> identify(int fd, const std::optional<std::string>& requirement) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials) {
    return std::nullopt;
  }
  PeerIdentity identity{.uid = credentials.uid, .pid = credentials.pid};
  std::error_code error;
  const auto program =
      std::filesystem::read_symlink("/proc/" + std::to_string(credentials.pid) + "/exe", error);
  if (error || !program.is_absolute()) return identity;
  const auto bundle = enclosingBundle(program);
  identity.path = (bundle ? *bundle : program).string();
  identity.signatureOK = !requirement || satisfies(program, *requirement);
  return identity;
}

}  // namespace torvo::Peer
