// power/ (torvo_power): keeping the computer awake and waking it, over the platform interface
// that platform/linux implements, and the simulated power of simulate mode.
//
// Power control as the agent sees it: keep the computer awake, let it sleep, wake it at set
// times, report battery and charger facts and the computer's name. `PowerControl` is the one
// interface the agent core uses; `SystemPower` is the real implementation and
// `SimulatedPower` the harmless one of simulate mode. Implementations absorb every platform
// failure: no operation throws or returns a status. Callers hold one implementation as a
// shared object for the life of the agent and may call it from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace torvo {

// Battery and charger facts of the computer.
struct PowerSource {
  std::optional<std::int64_t> battery;  // internal battery in percent, 0 to 100; absent without one
  bool charging = false;                // the internal battery is charging
  bool onCharger = false;               // the computer draws from external power

  bool operator==(const PowerSource&) const = default;
};

class PowerControl {
 public:
  virtual ~PowerControl() = default;

  // Makes sure exactly the agent's own system wake at `at` (seconds since the epoch) is
  // scheduled, removing its other own wakes.
  virtual void scheduleWake(std::int64_t at) = 0;
  // Removes every system wake of the agent's own.
  virtual void cancelAllWakes() = 0;
  // Keeps the computer from idle sleep for one check-in, at most 120 seconds.
  virtual void beginCheckIn() = 0;
  // Gives the check-in's hold up at once.
  virtual void endCheckIn() = 0;
  // Keeps the computer from idle and system sleep until releaseAwake(); the label names the hold.
  virtual void holdAwake(const std::string& label) = 0;
  // Drops the hold.
  virtual void releaseAwake() = 0;
  // Tells the platform that a local user is active (a full wake).
  virtual void declareUserActivity() = 0;
  virtual PowerSource powerSource() = 0;
  // The computer's user-visible name, not yet cleaned for display.
  virtual std::string macName() = 0;
};

}  // namespace torvo
