// SystemPower: the real power control of a root agent. It decides which assertions to create
// and release, which scheduled wakes are the agent's own and when to fall back to the pmset
// tool; the platform operations themselves are a PowerPlatform (LinuxPowerPlatform in the
// agent, FakePowerPlatform in tests). Log lines go to the power category.
// Thread-safe: one non-recursive lock guards the assertion state and is held for the whole of
// scheduleWake, cancelAllWakes, beginCheckIn, endCheckIn, holdAwake and releaseAwake (log
// lines are written under it; the log's lock is innermost). declareUserActivity, powerSource
// and macName take no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/agent_log.h"
#include "power/power.h"
#include "power/power_platform.h"

namespace torvo {

class SystemPower final : public PowerControl {
 public:
  static constexpr std::int64_t checkInTimeoutSeconds = 120;

  // Start-up creates one: SystemPower(log, std::make_unique<LinuxPowerPlatform>()).
  // The log must outlive the object.
  SystemPower(AgentLog& log, std::unique_ptr<PowerPlatform> platform);

  void scheduleWake(std::int64_t at) override;
  void cancelAllWakes() override;
  void beginCheckIn() override;
  void endCheckIn() override;
  void holdAwake(const std::string& label) override;
  void releaseAwake() override;
  void declareUserActivity() override;
  PowerSource powerSource() override;
  std::string macName() override;

 private:
  // Times of the scheduled events that are the agent's own wakes, in listing order.
  std::vector<double> ours();
  // Cancels the agent's own wakes except those within one second of `except`.
  void cancelOurs(std::optional<double> except);

  std::mutex lock_;
  AssertionID checkInAssertion_ = 0;
  std::vector<AssertionID> awakeAssertions_;
  std::string awakeLabel_;
  AgentLog& log_;
  const std::string owner_;
  const std::unique_ptr<PowerPlatform> platform_;
};

}  // namespace torvo
