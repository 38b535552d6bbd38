// An in-memory PowerControl for tests: records every call as a short text ("beginCheckIn",
// "holdAwake awake until 12:00", "scheduleWake 1700000900", …) and serves set facts.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "power/power.h"

namespace torvo::test {

class FakePower : public PowerControl {
 public:
  void scheduleWake(std::int64_t at) override { calls.push_back("scheduleWake " + std::to_string(at)); }
  void cancelAllWakes() override { calls.push_back("cancelAllWakes"); }
  void beginCheckIn() override { calls.push_back("beginCheckIn"); }
  void endCheckIn() override { calls.push_back("endCheckIn"); }
  void holdAwake(const std::string& label) override { calls.push_back("holdAwake " + label); }
  void releaseAwake() override { calls.push_back("releaseAwake"); }
  void declareUserActivity() override { calls.push_back("declareUserActivity"); }
  PowerSource powerSource() override { return source; }
  std::string macName() override { return name; }

  // How many recorded calls start with `prefix`.
  std::size_t count(const std::string& prefix) const {
    return std::count_if(calls.begin(), calls.end(),
                         [&](const std::string& c) { return c.starts_with(prefix); });
  }

  std::vector<std::string> calls;
  PowerSource source{80, false, true};
  std::string name = "Studio";
};

}  // namespace torvo::test
