#include "tools/phone_store.h"

#include <unistd.h>

#include <cstdlib>

#include "base/file_store.h"

namespace torvo {

namespace fs = std::filesystem;

fs::path PhoneStore::defaultFolder() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
    return fs::path(state) / "torvo-phone";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    return fs::path(home) / ".local" / "state" / "torvo-phone";
  }
  return {};
}

void PhoneStore::save(const Pairing& pairing) const {
  const auto link = pairing.url();
  if (!link) throw std::invalid_argument("the pairing has no link");
  const FileStore store(::getuid());
  store.ensureDirectory(folder_, 0700);
  store.write(*link + "\n", linkPath(), 0600);
}

std::expected<Pairing, std::string> PhoneStore::load() const {
  std::optional<std::string> text;
  try {
    text = FileStore(::getuid()).read(linkPath());
  } catch (const std::exception& error) {
    return std::unexpected("cannot read the pairing: " + std::string(error.what()));
  }
  if (!text) return std::unexpected("not paired yet: run 'torvo-phone pair LINK' first");
  auto pairing = Pairing::fromString(*text);
  if (!pairing) return std::unexpected(linkPath().string() + " does not hold a valid pairing link");
  return std::move(*pairing);
}

}  // namespace torvo
