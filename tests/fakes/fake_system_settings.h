// An in-memory SystemSettings for tests: serves a fixed power-settings report, update
// preferences and login items, records every command it is asked to run, and fails the
// commands it is told to fail.
#pragma once

#include <map>
#include <set>

#include "setup/system_settings.h"

namespace torvo::test {

class FakeSystemSettings : public SystemSettings {
 public:
  std::string pmsetCustom() override { return report; }
  std::optional<std::string> readUpdate(UpdateKey key) override {
    const auto it = updates.find(key);
    if (it == updates.end()) return std::nullopt;
    return it->second;
  }
  bool run(const SystemCommand& command) override {
    ran.push_back(command);
    return !failing.contains(command.description());
  }
  std::optional<std::vector<LoginItem>> loginItems() override { return items; }

  std::string report;
  std::map<UpdateKey, std::string> updates;
  std::optional<std::vector<LoginItem>> items;
  std::set<std::string> failing;  // descriptions of commands that fail
  std::vector<SystemCommand> ran;
};

}  // namespace torvo::test
