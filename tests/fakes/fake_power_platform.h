// FakePowerPlatform: an in-memory PowerPlatform for tests. It keeps live assertions and
// scheduled events, answers with the facts a test sets, and records every call as one text
// line ("create <type> '<name>' [timeout=<s>] -> <id>|fail", "release <id>",
// "activity '<name>'", "schedule <time> <owner> <type> -> <status>",
// "cancel <time> <owner> <type>", "list", "run <path> <arguments...>") so that tests can
// check what happened and in which order. Thread-safe.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "power/power_platform.h"

namespace torvo {

class FakePowerPlatform final : public PowerPlatform {
 public:
  std::expected<AssertionID, int> createAssertion(const AssertionRequest& request) override;
  void releaseAssertion(AssertionID id) override;
  void declareUserActivity(const std::string& name) override;
  int schedulePowerEvent(double time, const std::string& owner, const std::string& type) override;
  void cancelPowerEvent(double time, const std::string& owner, const std::string& type) override;
  std::optional<nlohmann::json> scheduledPowerEvents() override;
  std::optional<PowerSnapshot> powerSources() const override;
  std::optional<std::string> computerName() const override;
  std::optional<std::string> hostName() const override;
  void runTool(const std::string& path, const std::vector<std::string>& arguments) override;

  // What the fake answers; set by the test before use.
  void setEvents(std::optional<nlohmann::json> events);
  void failAssertions(std::set<std::string> types);  // creations of these types fail
  void setScheduleStatus(int status);                // non-zero: scheduling fails
  void setSnapshot(std::optional<PowerSnapshot> snapshot);
  void setNames(std::optional<std::string> computer, std::optional<std::string> host);

  std::vector<std::string> calls() const;
  void clearCalls();
  // The live assertions by identifier.
  std::map<AssertionID, AssertionRequest> assertions() const;
  std::optional<nlohmann::json> events() const;

 private:
  void record(std::string call);

  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::map<AssertionID, AssertionRequest> assertions_;
  AssertionID nextID_ = 1;
  std::set<std::string> failingTypes_;
  std::optional<nlohmann::json> events_ = nlohmann::json::array();
  int scheduleStatus_ = 0;
  std::optional<PowerSnapshot> snapshot_;
  std::optional<std::string> computerName_;
  std::optional<std::string> hostName_;
};

}  // namespace torvo
