// platform/linux/ (torvo_platform): the Linux implementations of the platform services the
// power logic needs (logind, alarm timers, power supplies, machine name, wake notifications).
//
// LinuxPowerPlatform: the power platform operations on Linux, for SystemPower (and, for the
// battery and name facts only, SimulatedPower).
// - Assertions are logind inhibitor locks in mode "block" taken by "Torvo" with the assertion
//   name as the reason: "idle:sleep" for PreventUserIdleSystemSleep (a desktop's idle suspend
//   is a sleep request that only "sleep" locks hold off), "sleep" for PreventSystemSleep.
//   A time limit is enforced by InhibitorLocks.
// - User activity is SetIdleHint(false) on the console session, when there is one.
// - Scheduled wakes are AlarmWakes (timerfds of this process).
// - Power sources come from the power_supply folder, the computer name from machine-info,
//   the host name from the kernel.
// Where the system bus, logind or the alarm clock is missing, operations fail with a status
// or give nothing; nothing is thrown. Constructing one touches no bus and starts no thread.
// Thread-safe.
#pragma once

#include <filesystem>

#include "platform/linux/power_alarm_wakes.h"
#include "platform/linux/power_inhibitor_locks.h"
#include "power/power_platform.h"

namespace torvo {

struct LinuxPowerPaths {
  std::filesystem::path powerSupplies = "/sys/class/power_supply";
  std::filesystem::path machineInfo = "/etc/machine-info";
};

class LinuxPowerPlatform final : public PowerPlatform {
 public:
  explicit LinuxPowerPlatform(LinuxPowerPaths paths = {}, clockid_t wakeClock = CLOCK_REALTIME_ALARM);

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

 private:
  const LinuxPowerPaths paths_;
  InhibitorLocks locks_;
  AlarmWakes wakes_;
};

}  // namespace torvo
