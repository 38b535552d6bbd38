#include "agent/engine.h"

#include <unicode/timezone.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>

#include "base/display_text.h"
#include "kit/crypto.h"
#include "kit/envelope.h"

namespace torvo {

std::string_view toText(DropReason reason) {
  switch (reason) {
    case DropReason::tooLarge: return "tooLarge";
    case DropReason::notOurs: return "notOurs";
    case DropReason::malformed: return "malformed";
    case DropReason::unknownKey: return "unknownKey";
    case DropReason::cannotDecrypt: return "cannotDecrypt";
    case DropReason::badJSON: return "badJSON";
    case DropReason::role: return "role";
    case DropReason::replay: return "replay";
    case DropReason::clock: return "clock";
  }
  return "malformed";
}

namespace Engine {
namespace {

// The zone of the last identifier asked for on this thread; an unknown one reads as UTC.
const icu::TimeZone& zoneFor(const std::string& id) {
  thread_local std::string cachedID;
  thread_local std::unique_ptr<icu::TimeZone> cached;
  if (!cached || cachedID != id) {
    cached.reset(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(id)));
    cachedID = id;
  }
  return *cached;
}

__int128 floorDiv(__int128 a, __int128 b) {
  __int128 q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

std::string minutesNote(std::int64_t resulting, std::int64_t asked) {
  std::string note = "Checks for a Wake every " + std::to_string(resulting) + " min";
  if (resulting != asked) note += " (15, 30 or 60)";
  return note;
}

Ack makeAck(const Message& message, bool ok, std::optional<std::string> note, std::int64_t now) {
  return Ack{message.id(), ok, std::move(note), Crypto::randomUUID(), now};
}

}  // namespace

std::string clock(std::int64_t t, const Calendar& calendar) {
  std::int32_t raw = 0;
  std::int32_t dst = 0;
  UErrorCode status = U_ZERO_ERROR;
  zoneFor(calendar.timeZone).getOffset(static_cast<UDate>(t) * 1000.0, false, raw, dst, status);
  const std::int64_t offset = U_SUCCESS(status) ? (static_cast<std::int64_t>(raw) + dst) / 1000 : 0;
  // Local time in 128 bits: near the ends of the range the zone's offset would overflow it.
  const __int128 local = static_cast<__int128>(t) + offset;
  const std::int64_t secondsOfDay = static_cast<std::int64_t>(local - floorDiv(local, 86400) * 86400);
  char text[8];
  std::snprintf(text, sizeof text, "%02d:%02d", static_cast<int>(secondsOfDay / 3600),
                static_cast<int>(secondsOfDay % 3600 / 60));
  return text;
}

std::int64_t addSeconds(std::int64_t t, std::int64_t seconds) {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(t, seconds, &sum)) {
    return seconds > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
  }
  return sum;
}

bool isAwake(const AgentStateFile& state, std::int64_t now) {
  return now < state.awakeUntil.value_or(0);
}

std::optional<std::int64_t> tick(AgentStateFile& state, std::int64_t now) {
  if (!state.awakeUntil || now < *state.awakeUntil) return std::nullopt;
  const std::int64_t ended = *state.awakeUntil;
  state.awakeUntil.reset();
  state.wakeSentAt.reset();
  state.wokenBy.reset();
  return ended;
}

bool needsReschedule(std::optional<std::int64_t> scheduled,
                     std::optional<std::int64_t> scheduledEvery, std::int64_t desired,
                     const AgentConfig& config, std::int64_t now) {
  if (!scheduled) return true;
  if (now >= *scheduled) return true;
  if (!scheduledEvery || *scheduledEvery != config.checkInMinutes()) return true;
  return desired < *scheduled;
}

void wake(AgentStateFile& state, std::int64_t hours, const WakeRecord& by, std::int64_t sentAt,
          std::int64_t now) {
  state.awakeUntil = addSeconds(now, std::clamp<std::int64_t>(hours, 1, 24) * 3600);
  state.wakeSentAt = std::min(now, sentAt);
  state.wokenBy = by;
  if (by.kid) state.lastPhoneWake = by;
}

EndResult endWake(AgentStateFile& state, std::int64_t sentAt, std::int64_t now) {
  if (!isAwake(state, now)) return EndResult::noWake;
  if (state.wakeSentAt && sentAt < *state.wakeSentAt) return EndResult::newerWake;
  state.awakeUntil = now;
  return EndResult::ended;
}

std::variant<Opened, DropReason> open(std::string_view text, const DevicesFile& devices,
                                      ReplayGuard& replay, const AgentConfig& config,
                                      std::int64_t now) {
  auto parsed = Envelope::parse(text);
  if (!parsed) {
    switch (parsed.error()) {
      case EnvelopeError::notProtocolMessage: return DropReason::notOurs;
      case EnvelopeError::tooLarge: return DropReason::tooLarge;
      default: return DropReason::malformed;
    }
  }

  const PairedDevice* device = devices.key(parsed->keyID);
  if (device == nullptr) return DropReason::unknownKey;

  const std::string associatedData = std::string(Envelope::version) + "." + parsed->keyID;
  Bytes plaintext;
  if (!Crypto::openCombined(device->key(), parsed->sealed, bytesOf(associatedData), plaintext)) {
    return DropReason::cannotDecrypt;
  }

  auto message = Message::decode(ByteView(plaintext));
  if (!message) return DropReason::badJSON;
  if (!message->isPhoneToMac()) return DropReason::role;

  const std::int64_t ts = message->ts();
  const std::int64_t maxAge = ReplayGuard::maxAge(config.checkInMinutes());
  // The window's ends in 128 bits, so that no time near the ends of the range wraps.
  if (ts < static_cast<__int128>(now) - maxAge || ts > static_cast<__int128>(now) + ReplayGuard::futureSkew) {
    return DropReason::clock;
  }
  if (!replay.accept(message->id(), ts, now, config.checkInMinutes())) return DropReason::replay;

  return Opened{std::move(parsed->keyID), std::move(*message)};
}

std::vector<Inbound> receive(const std::vector<NtfyEvent>& events, DevicesFile& devices,
                             AgentStateFile& state, const AgentConfig& config, std::int64_t now,
                             const std::function<void(DropReason)>& onDrop) {
  devices.pruneExpired(now);
  std::vector<Inbound> inbound;
  for (const auto& event : events) {
    if (!event.isMessage() || !event.message) continue;
    auto result = open(*event.message, devices, state.replay, config, now);
    if (auto* reason = std::get_if<DropReason>(&result)) {
      switch (*reason) {
        case DropReason::role: ++state.drops.role; break;
        case DropReason::replay: ++state.drops.replay; break;
        case DropReason::clock: ++state.drops.clock; break;
        default: ++state.drops.invalid; break;
      }
      if (onDrop) onDrop(*reason);
      continue;
    }
    auto& opened = std::get<Opened>(result);
    PairedDevice* device = devices.key(opened.kid);
    if (!device->isConfirmed()) {
      const std::string& from = std::visit(
          [](const auto& p) -> const std::string& {
            if constexpr (requires { p.from; }) {
              return p.from;
            } else {
              static const std::string none;
              return none;
            }
          },
          opened.message.payload);
      device->name = DisplayText::clean(from, 64, "Phone");
    }
    device->lastSeen = now;
    inbound.push_back(Inbound{std::move(opened.kid), device->name, std::move(opened.message)});
  }
  return inbound;
}

Handled handle(const std::vector<Inbound>& inbound, AgentConfig& config, AgentStateFile& state,
               std::int64_t now, const Calendar& calendar) {
  Handled handled;
  for (const auto& in : inbound) {
    const Message& message = in.message;
    if (const auto* change = std::get_if<ConfigChange>(&message.payload)) {
      if (!change->checkInMinutes) {
        handled.acks.emplace_back(in.kid, makeAck(message, false, std::string(oneSettingNote), now));
        continue;
      }
      const AgentConfig before = config;
      config.setCheckInMinutes(*change->checkInMinutes);
      if (config != before) handled.configChanged = true;
      handled.acks.emplace_back(
          in.kid, makeAck(message, true, minutesNote(config.checkInMinutes(), *change->checkInMinutes), now));
      continue;
    }
    const auto* command = std::get_if<Command>(&message.payload);
    if (command == nullptr) continue;  // reports and acks never come from a phone

    switch (command->kind) {
      case CommandKind::wake: {
        wake(state, command->hours.value_or(config.awakeHoursDefault()),
             WakeRecord{in.deviceName, now, in.kid}, command->ts, now);
        handled.woke = true;
        handled.acks.emplace_back(
            in.kid, makeAck(message, true, "Awake until " + clock(*state.awakeUntil, calendar), now));
        break;
      }
      case CommandKind::end: {
        std::string note;
        switch (endWake(state, command->ts, now)) {
          case EndResult::noWake: note = noWakeNote; break;
          case EndResult::newerWake:
            note = "A newer Wake is running until " + clock(*state.awakeUntil, calendar) + ".";
            break;
          case EndResult::ended:
            note = endedNote;
            handled.ended = true;
            break;
        }
        handled.acks.emplace_back(in.kid, makeAck(message, true, std::move(note), now));
        break;
      }
      case CommandKind::status:
        handled.acks.emplace_back(in.kid, makeAck(message, true, std::nullopt, now));
        break;
    }
  }
  return handled;
}

MacState stateMessage(const AgentConfig& config, const AgentStateFile& state,
                      const MacFacts& facts, std::int64_t now) {
  MacState report;
  const bool awake = isAwake(state, now);
  report.state = awake ? PowerState::awake : PowerState::asleep;
  if (awake) report.awakeUntil = state.awakeUntil;
  report.battery = facts.battery;
  report.charging = facts.charging;
  report.onCharger = facts.onCharger;
  report.lastCheckIn = state.lastCheckIn.value_or(now);
  report.nextCheckIn = state.scheduledWake;
  report.mac = DisplayText::clean(facts.macName, 64, "Mac");
  report.tz = facts.timeZone;
  report.config = config;
  report.id = Crypto::randomUUID();
  report.ts = now;
  return report;
}

}  // namespace Engine
}  // namespace torvo
