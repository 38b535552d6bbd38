#include "base/file_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <system_error>

namespace torvo {
namespace {

std::string describe(FileStoreError::Kind kind, const std::filesystem::path& path, int code) {
  switch (kind) {
    case FileStoreError::Kind::unsafeOwner:
      return path.string() + " has the wrong owner";
    case FileStoreError::Kind::unsafeMode:
      return path.string() + " is writable by others";
    case FileStoreError::Kind::notRegularFile:
      return path.string() + " is not a regular file";
    case FileStoreError::Kind::io:
      return path.string() + ": " + std::strerror(code);
  }
  return path.string();
}

// Closes the descriptor on every path out of a scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { close(); }
  int get() const { return fd_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

std::uint32_t freshRandom() {
  static thread_local std::random_device device;
  return static_cast<std::uint32_t>(device());
}

// mkdir -p, giving each directory it creates exactly `mode`.
void createDirectories(const std::filesystem::path& path, mode_t mode) {
  std::filesystem::path current;
  for (const auto& part : path) {
    current /= part;
    if (part.empty() || part == "/") continue;
    if (::mkdir(current.c_str(), mode) == 0) {
      if (::chmod(current.c_str(), mode) != 0) {
        throw std::system_error(errno, std::generic_category(), current.string());
      }
    } else if (errno != EEXIST) {
      throw std::system_error(errno, std::generic_category(), current.string());
    }
  }
}

}  // namespace

FileStoreError::FileStoreError(Kind kind, std::filesystem::path path, int code)
    : std::runtime_error(describe(kind, path, code)),
      kind_(kind),
      path_(std::move(path)),
      code_(code) {}

void FileStore::ensureDirectory(const std::filesystem::path& path, mode_t mode) const {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    createDirectories(path, mode);
    if (::lstat(path.c_str(), &st) != 0) {
      throw FileStoreError(FileStoreError::Kind::io, path, errno);
    }
  }
  if (!S_ISDIR(st.st_mode)) throw FileStoreError(FileStoreError::Kind::notRegularFile, path);
  if (st.st_uid != ownerUID_) throw FileStoreError(FileStoreError::Kind::unsafeOwner, path);
  if ((st.st_mode & 022) != 0 && ::chmod(path.c_str(), mode) != 0) {
    throw FileStoreError(FileStoreError::Kind::unsafeMode, path);
  }
}

std::optional<std::string> FileStore::read(const std::filesystem::path& path) const {
  // Opened without blocking: a FIFO or a device planted in place of the file would otherwise
  // hold the open (and start-up) until someone writes to it. It is refused below.
  Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw FileStoreError(FileStoreError::Kind::io, path, errno);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw FileStoreError(FileStoreError::Kind::io, path, errno);
  if (!S_ISREG(st.st_mode)) throw FileStoreError(FileStoreError::Kind::notRegularFile, path);
  if (st.st_uid != ownerUID_) throw FileStoreError(FileStoreError::Kind::unsafeOwner, path);
  if ((st.st_mode & 022) != 0) throw FileStoreError(FileStoreError::Kind::unsafeMode, path);
  if (static_cast<std::uint64_t>(st.st_size) > maxFileBytes) {
    throw FileStoreError(FileStoreError::Kind::io, path, EFBIG);
  }

  // Read to the end, but never past the cap: the file may grow after the fstat.
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FileStoreError(FileStoreError::Kind::io, path, errno);
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
    if (bytes.size() > maxFileBytes) throw FileStoreError(FileStoreError::Kind::io, path, EFBIG);
  }
  return bytes;
}

std::optional<nlohmann::json> FileStore::readJSON(const std::filesystem::path& path) const {
  auto bytes = read(path);
  if (!bytes) return std::nullopt;
  return nlohmann::json::parse(*bytes);
}

void FileStore::write(const std::string& bytes, const std::filesystem::path& path,
                      mode_t mode) const {
  std::filesystem::path temp = path;
  temp += ".tmp-" + std::to_string(::getpid()) + "-" +
          std::to_string(random_ ? random_() : freshRandom());

  Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (fd.get() < 0) throw FileStoreError(FileStoreError::Kind::io, temp, errno);

  auto fail = [&](int code) {
    fd.close();
    ::unlink(temp.c_str());
    throw FileStoreError(FileStoreError::Kind::io, temp, code);
  };

  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail(n < 0 ? errno : EIO);
    done += static_cast<std::size_t>(n);
  }
  if (::fchmod(fd.get(), mode) != 0) fail(errno);
  if (::fsync(fd.get()) != 0) fail(errno);
  fd.close();

  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int code = errno;
    ::unlink(temp.c_str());
    throw FileStoreError(FileStoreError::Kind::io, path, code);
  }
}

void FileStore::writeJSON(const nlohmann::json& value, const std::filesystem::path& path,
                          mode_t mode) const {
  write(value.dump(2) + "\n", path, mode);
}

void FileStore::remove(const std::filesystem::path& path) const { ::unlink(path.c_str()); }

}  // namespace torvo
