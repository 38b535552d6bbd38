// WakeOnLan: wake by magic packet on this machine's wired interfaces, read and changed with
// ethtool. A change is made to last across reboots by the manager of the interface:
// NetworkManager's connection profile ("802-3-ethernet.wake-on-lan") where NetworkManager has
// one for it, otherwise the package's boot unit (torvo-wake-on-lan.service), which sets every
// interface of the record again at start-up.
//
// The record (/var/lib/torvo/wake-on-lan) lists each interface this class turned on, one line
// each, tab-separated: name, the value set, the value before, and for a NetworkManager profile
// the profile's value before and its name. Turning off takes back exactly what the record
// holds and then removes it.
//
// Calls block while the tools run; use from one thread at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace torvo {

class WakeOnLan {
 public:
  struct Places {
    std::filesystem::path net = "/sys/class/net";
    std::string ethtool = "/sbin/ethtool";
    std::string nmcli = "/usr/bin/nmcli";
    std::filesystem::path record = "/var/lib/torvo/wake-on-lan";
  };

  static constexpr std::int64_t toolTimeout = 10;

  // One wired interface as ethtool reports it: the wake modes it supports and has on, as
  // ethtool's letters ("pumbg", "d" for none).
  struct Interface {
    std::string name;
    std::string supports;
    std::string wakeOn;
    bool magic() const { return wakeOn.find('g') != std::string::npos; }
    bool operator==(const Interface&) const = default;
  };

  // One line of the record.
  struct Change {
    std::string name;
    std::string set;
    std::string before;
    std::string profileBefore;  // empty without a NetworkManager profile
    std::string profile;
    bool operator==(const Change&) const = default;
  };

  explicit WakeOnLan(Places places) : places_(std::move(places)) {}

  // The wired interfaces that can wake by magic packet (none where ethtool is missing or
  // may not read them).
  std::vector<Interface> capable() const;

  // On when every capable interface has magic-packet wake on; nothing without a capable one.
  std::optional<bool> reading() const;

  // On: turns magic-packet wake on where it is off and adds each change to the record. Off:
  // takes back what the record holds (or, without a record, turns it off on every capable
  // interface) and removes the record. 0 when every step worked, else 1.
  int set(bool on) const;

  // ethtool's report of one interface, read for its "Supports Wake-on" and "Wake-on" lines;
  // nothing unless both are there.
  static std::optional<Interface> parse(const std::string& name, const std::string& report);

  static std::vector<Change> parseRecord(const std::string& text);
  static std::string recordText(const std::vector<Change>& changes);

 private:
  bool ethtoolSet(const std::string& name, const std::string& value) const;
  // The NetworkManager profile active on the interface, or nothing.
  std::optional<std::string> profileOf(const std::string& name) const;
  std::optional<std::string> profileValue(const std::string& profile) const;
  bool setProfile(const std::string& profile, const std::string& value) const;
  std::vector<Change> loadRecord() const;
  bool saveRecord(const std::vector<Change>& changes) const;

  Places places_;
};

}  // namespace torvo
