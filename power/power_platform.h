// The narrow set of platform operations that the real power control runs over: power
// assertions, user activity, scheduled power events, the power-source snapshot, the computer's
// names and running a tool. Abstract so that the decision logic in SystemPower can be tested
// against FakePowerPlatform; the Linux implementation is LinuxPowerPlatform.
// Records that the platform hands back (scheduled events, power-source descriptions) are JSON
// dictionaries with the platform's own keys, so that missing or mistyped entries stay visible
// to the logic that reads them.
// Implementations must be safe to call from any thread.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace torvo {

// Identifies a power assertion; 0 is never a valid identifier.
using AssertionID = std::uint32_t;

struct AssertionRequest {
  std::string type;  // "PreventUserIdleSystemSleep" or "PreventSystemSleep"
  std::string name;  // shown to whoever lists the assertions
  // When set, the platform ends the assertion itself after this many seconds.
  std::optional<std::int64_t> timeoutSeconds;

  bool operator==(const AssertionRequest&) const = default;
};

// A snapshot of the power sources.
struct PowerSnapshot {
  // The type of the source the computer draws from, "AC Power" for external power.
  std::optional<std::string> providingType;
  // One description dictionary per source ("Type", "Current Capacity", "Max Capacity",
  // "Is Charging"); absent when the platform gives no list.
  std::optional<std::vector<nlohmann::json>> sources;

  bool operator==(const PowerSnapshot&) const = default;
};

class PowerPlatform {
 public:
  virtual ~PowerPlatform() = default;

  // An identifier on success, a non-zero status on failure.
  virtual std::expected<AssertionID, int> createAssertion(const AssertionRequest& request) = 0;
  // Ends the assertion; unknown identifiers are ignored.
  virtual void releaseAssertion(AssertionID id) = 0;
  // Declares local user activity under `name`; best effort, no result.
  virtual void declareUserActivity(const std::string& name) = 0;

  // Times are seconds since the epoch, fractions allowed. Returns 0 on success.
  virtual int schedulePowerEvent(double time, const std::string& owner, const std::string& type) = 0;
  // Removes the event with exactly this time, owner and type; failures are not reported.
  virtual void cancelPowerEvent(double time, const std::string& owner, const std::string& type) = 0;
  // The scheduled events, normally a list of dictionaries with "time", "scheduledby" and
  // "eventtype"; absent when the platform gives nothing.
  virtual std::optional<nlohmann::json> scheduledPowerEvents() = 0;

  virtual std::optional<PowerSnapshot> powerSources() const = 0;
  // The user-visible computer name, and the host's name, when the platform has them.
  virtual std::optional<std::string> computerName() const = 0;
  virtual std::optional<std::string> hostName() const = 0;

  // Runs a program with the process's own standard streams and waits for it to end; a
  // failure to start it is ignored.
  virtual void runTool(const std::string& path, const std::vector<std::string>& arguments) = 0;
};

}  // namespace torvo
