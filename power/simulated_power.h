// SimulatedPower: the power control of simulate mode. It changes nothing on the computer:
// every operation is recorded, remembered and described in one "would ..." log line (a line
// equal to the one before is dropped). It also carries the simulated clock offset that a power
// file sets while the agent runs: a JSON object whose integer "clockOffset" becomes the offset
// (absolute, seconds); the file is deleted once read.
// Thread-safe: one non-recursive lock guards every field; the log is written outside it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/agent_log.h"
#include "power/power.h"
#include "power/power_platform.h"

namespace torvo {

class SimulatedPower final : public PowerControl {
 public:
  // `log` may be null (silent) and must otherwise outlive the object. A missing `source` or
  // `macName` is read once, here, from `facts` (MacInfo::powerSource, MacInfo::computerName);
  // `facts` is not kept. Start-up passes the log, no source, no name, the power file of the
  // command line or none, and a LinuxPowerPlatform, which only reads files for these facts.
  SimulatedPower(AgentLog* log, std::optional<PowerSource> source,
                 std::optional<std::string> macName,
                 std::optional<std::filesystem::path> controlFile, const PowerPlatform& facts);

  void scheduleWake(std::int64_t at) override;
  void cancelAllWakes() override;
  void beginCheckIn() override;
  void endCheckIn() override;
  void holdAwake(const std::string& label) override;
  void releaseAwake() override;
  void declareUserActivity() override;
  PowerSource powerSource() override;
  std::string macName() override;

  // Applies the power file, if there is one, then returns the offset in seconds that the
  // agent's clock adds to the real time.
  std::int64_t clockOffset();

  void set(const PowerSource& source);
  void clearActions();

  std::optional<std::int64_t> scheduled() const;
  std::optional<std::string> holding() const;
  std::int64_t userActivity() const;
  // The name of every PowerControl operation called so far, in call order.
  std::vector<std::string> actions() const;

 private:
  void record(const char* action);
  void say(const std::string& line);
  void applyPowerFile();

  mutable std::mutex lock_;
  AgentLog* const log_;
  PowerSource source_;
  const std::string name_;
  const std::optional<std::filesystem::path> controlFile_;
  std::int64_t clockOffset_ = 0;
  std::string lastLine_;
  std::optional<std::int64_t> scheduled_;
  std::optional<std::string> holding_;
  std::int64_t userActivity_ = 0;
  std::vector<std::string> actions_;
};

}  // namespace torvo
