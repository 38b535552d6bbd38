// FileStore: the only way the agent reads and writes its JSON files and creates its
// directories. It never follows a symbolic link and refuses anything another user could have
// planted or changed: files and directories of the wrong owner, files writable by group or
// others, entries of the wrong kind and files over 1 MiB. Every write replaces the file
// atomically (temporary file, fsync, rename), so readers see the old or the new file whole.
// A plain value without shared state; safe from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace torvo {

// A refusal or an I/O failure of the store, naming the path it concerns.
class FileStoreError : public std::runtime_error {
 public:
  enum class Kind { unsafeOwner, unsafeMode, notRegularFile, io };

  FileStoreError(Kind kind, std::filesystem::path path, int code = 0);

  Kind kind() const { return kind_; }
  const std::filesystem::path& path() const { return path_; }
  int code() const { return code_; }
  // The text callers put into log lines, for example "<path> has the wrong owner".
  std::string description() const { return what(); }

  bool operator==(const FileStoreError& other) const {
    return kind_ == other.kind_ && path_ == other.path_ && code_ == other.code_;
  }

 private:
  Kind kind_;
  std::filesystem::path path_;
  int code_;
};

class FileStore {
 public:
  static constexpr std::size_t maxFileBytes = 1024 * 1024;

  // `random` supplies the number in temporary file names; tests fix it to provoke a
  // leftover temporary file. By default it is a fresh random number on every write.
  explicit FileStore(uid_t ownerUID, std::function<std::uint32_t()> random = {})
      : ownerUID_(ownerUID), random_(std::move(random)) {}

  uid_t ownerUID() const { return ownerUID_; }

  // Makes sure a safe directory exists at `path`, creating missing levels with `mode`.
  // A directory owned by the right user but writable by group or others is tightened to
  // `mode`. A failed creation throws the system's own error (std::system_error).
  void ensureDirectory(const std::filesystem::path& path, mode_t mode) const;

  // The whole file, or nothing when it does not exist. Throws FileStoreError.
  std::optional<std::string> read(const std::filesystem::path& path) const;

  // The parsed file, or nothing when it does not exist. Throws FileStoreError or
  // nlohmann::json::exception for bytes that are not JSON.
  std::optional<nlohmann::json> readJSON(const std::filesystem::path& path) const;

  template <class T>
  std::optional<T> readJSON(const std::filesystem::path& path) const {
    auto json = readJSON(path);
    if (!json) return std::nullopt;
    return json->template get<T>();
  }

  // Replaces the file atomically with permission bits `mode`. Throws FileStoreError.
  void write(const std::string& bytes, const std::filesystem::path& path, mode_t mode) const;

  // Writes the value as indented JSON with sorted keys. Throws nlohmann::json::exception
  // for text that is not UTF-8, or FileStoreError.
  void writeJSON(const nlohmann::json& value, const std::filesystem::path& path,
                 mode_t mode) const;

  // Unlinks the file; any failure is ignored.
  void remove(const std::filesystem::path& path) const;

 private:
  uid_t ownerUID_;
  std::function<std::uint32_t()> random_;
};

}  // namespace torvo
