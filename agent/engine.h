// Engine: the agent's rule book for what phones send. Pure functions without state of their
// own: which relay messages are genuine and which are dropped (and why), what each accepted
// command does to the state, the acknowledgement each sender gets, the state report, and the
// small rules of a Wake's lifetime. Never throws; the agent calls it on its own thread with
// its own copies of the data and then acts on the result.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "kit/calendar.h"
#include "kit/config.h"
#include "kit/messages.h"
#include "kit/ntfy.h"
#include "kit/replay_guard.h"
#include "model/model.h"

namespace torvo {

// One accepted phone message: always a command or a configuration change.
struct Inbound {
  std::string kid;
  std::string deviceName;  // the device's name after this message was taken into account
  Message message;

  bool operator==(const Inbound&) const = default;
};

enum class DropReason { tooLarge, notOurs, malformed, unknownKey, cannotDecrypt, badJSON, role, replay, clock };

std::string_view toText(DropReason reason);

namespace Engine {

inline constexpr std::int64_t pairingLifetime = 300;
inline constexpr std::string_view endedNote = "Wake ended. Your Mac sleeps on its own when idle.";
inline constexpr std::string_view noWakeNote = "No Wake to end.";
inline constexpr std::string_view oneSettingNote =
    "This Mac has one setting: check for a Wake every 15, 30 or 60 min.";

struct Handled {
  std::vector<std::pair<std::string, Ack>> acks;  // (kid of the sender, ack), in message order
  bool configChanged = false;
  bool woke = false;
  bool ended = false;

  bool operator==(const Handled&) const = default;
};

enum class EndResult { ended, noWake, newerWake };

// An accepted message with the key identifier of its device.
struct Opened {
  std::string kid;
  Message message;
};

// `t` as "HH:mm" (24-hour) in the calendar's time zone; defined for every int64 value.
std::string clock(std::int64_t t, const Calendar& calendar);

// `t` + `seconds`, held at the ends of the int64 range instead of wrapping: a simulated clock
// may sit at either end, and a time past it must not turn into one far before it.
std::int64_t addSeconds(std::int64_t t, std::int64_t seconds);

// A Wake runs while `now` is before `awakeUntil` (absent counts as 0).
bool isAwake(const AgentStateFile& state, std::int64_t now);

// Clears a Wake that has run out and returns its old end; otherwise nothing changes.
std::optional<std::int64_t> tick(AgentStateFile& state, std::int64_t now);

// Whether the scheduled system wake must be replaced.
bool needsReschedule(std::optional<std::int64_t> scheduled,
                     std::optional<std::int64_t> scheduledEvery, std::int64_t desired,
                     const AgentConfig& config, std::int64_t now);

// Starts or replaces a Wake of `hours` (limited to 1...24); its end saturates at the end of
// the int64 range.
void wake(AgentStateFile& state, std::int64_t hours, const WakeRecord& by, std::int64_t sentAt,
          std::int64_t now);

// Ends the running Wake unless none runs or a newer one was sent after `sentAt`.
EndResult endWake(AgentStateFile& state, std::int64_t sentAt, std::int64_t now);

// Takes one relay message text apart; the replay guard remembers an accepted id.
std::variant<Opened, DropReason> open(std::string_view text, const DevicesFile& devices,
                                      ReplayGuard& replay, const AgentConfig& config,
                                      std::int64_t now);

// Opens the message events of one poll in relay order: expired pairing codes are pruned first,
// drops are counted in `state.drops` and reported through `onDrop`, a pending device is
// confirmed (and named) by its first accepted message.
std::vector<Inbound> receive(const std::vector<NtfyEvent>& events, DevicesFile& devices,
                             AgentStateFile& state, const AgentConfig& config, std::int64_t now,
                             const std::function<void(DropReason)>& onDrop);

// Applies the accepted messages in order and builds one acknowledgement for each.
Handled handle(const std::vector<Inbound>& inbound, AgentConfig& config, AgentStateFile& state,
               std::int64_t now, const Calendar& calendar);

// The state report sent to the phones.
MacState stateMessage(const AgentConfig& config, const AgentStateFile& state,
                      const MacFacts& facts, std::int64_t now);

}  // namespace Engine
}  // namespace torvo
