// AptUpdates: the three automatic-update keys of the system setup on Debian, as the
// APT::Periodic options that drive unattended upgrades. Values are read with apt-config (so
// every file of /etc/apt/apt.conf.d counts) and changed only in the product's own drop-in
// file, which holds just the options the setup changed: taking an option back out of it
// restores the machine's own value exactly, and the file goes when it holds none.
// A machine without unattended upgrades installs nothing by itself: it reads as paused.
// Stateless apart from its files; calls block while apt-config runs; one thread at a time.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "setup/system_settings.h"

namespace torvo {

class AptUpdates {
 public:
  struct Places {
    std::string aptConfig = "/usr/bin/apt-config";
    std::filesystem::path unattendedUpgrade = "/usr/bin/unattended-upgrade";
    std::filesystem::path dropIn = "/etc/apt/apt.conf.d/99torvo-agent";
  };

  static constexpr std::int64_t toolTimeout = 10;

  explicit AptUpdates(Places places) : places_(std::move(places)) {}

  // The APT::Periodic option that stands for the key.
  static std::string_view option(UpdateKey key);

  // "1" or "0" for an option apt reads as on or off (a number of days, "always" or a
  // Boolean word), other text as it stands, nothing when the option is not set. "0" for
  // every key on a machine without unattended upgrades.
  std::optional<std::string> read(UpdateKey key) const;

  // Makes the option read as `on`: first by taking the drop-in's own value out, and only
  // where the machine's value differs by writing one. 0 when it then reads so, else 1.
  int write(UpdateKey key, bool on) const;

  // Takes the option out of the drop-in. 0 done, 1 when the drop-in cannot be written.
  int remove(UpdateKey key) const;

  const Places& places() const { return places_; }

 private:
  Places places_;
};

}  // namespace torvo
