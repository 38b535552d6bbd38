// kit/ (torvo_kit): the phone protocol (records, envelope, check-in configuration, pairing
// link, replay guard) and the relay client, used by the agent and by the phone's side alike. No
// platform code.
//
// The records that phones and the computer exchange through the relay: commands and
// configuration changes from a phone, state reports and acknowledgements from the computer.
// `Message` is the tagged union of the four; `jsonData()` writes the exact JSON text that gets
// sealed, and `Message::decode` reads it back with the protocol's bounds. Plain values with no
// shared state: encoding and decoding may run on any thread.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "kit/bytes.h"
#include "kit/config.h"
#include "kit/json_fields.h"

namespace torvo {

// Every encoded message carries this version in "v"; any other value is refused.
inline constexpr std::int64_t protocolVersion = 2;

// Bounds enforced on decoding. Lengths are counted in user-perceived characters (extended
// grapheme clusters), not bytes.
namespace Limits {
inline constexpr std::size_t idLengthMin = 1;     // "id" of every message, "for" of an ack
inline constexpr std::size_t idLengthMax = 64;
inline constexpr std::size_t nameLengthMax = 64;  // "from", "mac", "tz" (0 allowed)
inline constexpr std::size_t noteLengthMax = 200; // "note" of an ack
inline constexpr std::int64_t batteryMin = 0;     // "battery" of a state report
inline constexpr std::int64_t batteryMax = 100;
inline constexpr std::int64_t tsMin = 1;          // "ts" of every message
}  // namespace Limits

enum class CommandKind { wake, status, end };
enum class PowerState { awake, asleep };

std::string_view toText(CommandKind kind);  // "wake", "status", "end"
std::string_view toText(PowerState state);  // "awake", "asleep"

// A phone asks for a Wake, a state report, or the end of the Wake.
struct Command {
  CommandKind kind = CommandKind::status;
  std::optional<std::int64_t> hours;  // only ever present for `wake`
  std::string id;
  std::int64_t ts = 0;
  std::string from;  // the sending phone's display name

  // The hours a wake lasts: `hours`, else `defaultHours`, limited to 1...24.
  std::int64_t effectiveHours(std::int64_t defaultHours) const;

  bool operator==(const Command&) const = default;
};

// A phone asks for another check-in interval (absent: no change).
struct ConfigChange {
  std::optional<std::int64_t> checkInMinutes;  // "checkIn" in JSON
  std::string id;
  std::int64_t ts = 0;
  std::string from;

  bool operator==(const ConfigChange&) const = default;
};

// The computer's state report to its phones.
struct MacState {
  PowerState state = PowerState::asleep;  // whether the agent is holding the computer awake
  std::optional<std::int64_t> awakeUntil;
  std::optional<std::int64_t> battery;  // percent; absent without a battery
  bool charging = false;
  bool onCharger = false;
  std::int64_t lastCheckIn = 0;
  std::optional<std::int64_t> nextCheckIn;
  std::string mac;  // display name
  std::string tz;   // time-zone identifier
  AgentConfig config;
  std::string id;
  std::int64_t ts = 0;

  bool operator==(const MacState&) const = default;
};

// The computer's answer to one phone message.
struct Ack {
  std::string forID;  // "for" in JSON
  bool ok = false;
  std::optional<std::string> note;
  std::string id;
  std::int64_t ts = 0;

  bool operator==(const Ack&) const = default;
};

// Why a record decoded as JSON was refused. No message text; the payload says what.
struct MessageError {
  enum class Kind { unsupportedVersion, unknownType, outOfBounds };
  Kind kind = Kind::outOfBounds;
  std::int64_t version = 0;  // unsupportedVersion: the received "v"
  std::string text;          // unknownType: the received "type"; outOfBounds: the JSON key

  static MessageError unsupportedVersion(std::int64_t version) { return {Kind::unsupportedVersion, version, {}}; }
  static MessageError unknownType(std::string type) { return {Kind::unknownType, 0, std::move(type)}; }
  static MessageError outOfBounds(std::string key) { return {Kind::outOfBounds, 0, std::move(key)}; }

  bool operator==(const MessageError&) const = default;
};

// Decoding fails either with a protocol refusal or with a document of the wrong shape.
using MessageDecodeError = std::variant<MessageError, JSONDecodingError>;

struct Message {
  using Payload = std::variant<Command, ConfigChange, MacState, Ack>;
  Payload payload;

  Message(Command c) : payload(std::move(c)) {}
  Message(ConfigChange c) : payload(std::move(c)) {}
  Message(MacState s) : payload(std::move(s)) {}
  Message(Ack a) : payload(std::move(a)) {}

  const std::string& id() const;
  std::int64_t ts() const;
  // True for commands and configuration changes, false for state reports and acks.
  bool isPhoneToMac() const;
  // The JSON "type" text: "wake", "status", "end", "config", "state" or "ack".
  std::string_view typeName() const;

  // The compact JSON text (keys ascending, "/" unescaped, non-ASCII as UTF-8).
  std::string jsonText() const;
  Bytes jsonData() const;

  // Reads a record; checks run in protocol order and the first failure is reported.
  static std::expected<Message, MessageDecodeError> decode(ByteView bytes);
  static std::expected<Message, MessageDecodeError> decode(std::string_view text) { return decode(bytesOf(text)); }

  bool operator==(const Message&) const = default;
};

}  // namespace torvo
