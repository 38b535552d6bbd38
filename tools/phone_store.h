// PhoneStore: where torvo-phone keeps its one pairing: the link text in the file "pairing.link"
// (mode 0600, the key is inside) in a folder of its own (mode 0700). The folder is the one
// given, else "$XDG_STATE_HOME/torvo-phone", else "~/.local/state/torvo-phone". Reads and
// writes go through the checked FileStore, so a planted or loosened file is refused.
// A plain value; each call is one blocking file operation on the calling thread.
#pragma once

#include <expected>
#include <filesystem>
#include <string>

#include "kit/pairing.h"

namespace torvo {

class PhoneStore {
 public:
  explicit PhoneStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

  // The default folder from the environment; empty when neither variable is set.
  static std::filesystem::path defaultFolder();

  const std::filesystem::path& folder() const { return folder_; }
  std::filesystem::path linkPath() const { return folder_ / "pairing.link"; }

  // Stores the pairing's link, replacing an earlier pairing. Throws FileStoreError or
  // std::system_error.
  void save(const Pairing& pairing) const;

  // The stored pairing; the error is a sentence for the user (not paired yet, an unsafe or
  // unreadable file, a link that no longer parses).
  std::expected<Pairing, std::string> load() const;

 private:
  std::filesystem::path folder_;
};

}  // namespace torvo
