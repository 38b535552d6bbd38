#include "kit/messages.h"

#include <algorithm>

#include "kit/json_record.h"
#include "kit/unicode_text.h"

namespace torvo {
namespace {

using nlohmann::json;

// Length in user-perceived characters. ASCII text, the common case, needs no segmentation:
// every ASCII character is a cluster of its own except CR LF, which forms one.
std::size_t characterCount(std::string_view text) {
  const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) return UnicodeText::graphemeCount(text);
  std::size_t count = text.size();
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == '\r' && text[i + 1] == '\n') --count;
  }
  return count;
}

json optionalValue(const std::optional<std::int64_t>& v) { return v ? json(*v) : json(nullptr); }

std::unexpected<MessageDecodeError> fail(JSONDecodingError e) { return std::unexpected(MessageDecodeError(std::move(e))); }
std::unexpected<MessageDecodeError> fail(MessageError e) { return std::unexpected(MessageDecodeError(std::move(e))); }

// Reads an optional name-like text ("from", "mac", "tz"): absent means empty; its length must
// lie within the name bound.
std::expected<std::string, MessageDecodeError> readName(const JSONRecord& object, std::string_view key) {
  auto v = object.optionalText(key);
  if (!v) return fail(v.error());
  std::string name = std::move(*v).value_or(std::string());
  if (characterCount(name) > Limits::nameLengthMax) return fail(MessageError::outOfBounds(std::string(key)));
  return name;
}

bool idLengthOK(std::string_view id) {
  const std::size_t n = characterCount(id);
  return n >= Limits::idLengthMin && n <= Limits::idLengthMax;
}

std::expected<Message, MessageDecodeError> decodeCommand(const JSONRecord& o, CommandKind kind, std::string id, std::int64_t ts) {
  auto hours = o.optionalInteger("hours");
  if (!hours) return fail(hours.error());
  auto from = readName(o, "from");
  if (!from) return std::unexpected(from.error());
  Command c;
  c.kind = kind;
  if (kind == CommandKind::wake) c.hours = *hours;
  c.id = std::move(id);
  c.ts = ts;
  c.from = std::move(*from);
  return Message(std::move(c));
}

std::expected<Message, MessageDecodeError> decodeConfig(const JSONRecord& o, std::string id, std::int64_t ts) {
  auto checkIn = o.optionalInteger("checkIn");
  if (!checkIn) return fail(checkIn.error());
  auto from = readName(o, "from");
  if (!from) return std::unexpected(from.error());
  return Message(ConfigChange{*checkIn, std::move(id), ts, std::move(*from)});
}

std::expected<Message, MessageDecodeError> decodeState(const JSONRecord& o, std::string id, std::int64_t ts) {
  MacState s;
  auto battery = o.optionalInteger("battery");
  if (!battery) return fail(battery.error());
  if (*battery && (**battery < Limits::batteryMin || **battery > Limits::batteryMax)) {
    return fail(MessageError::outOfBounds("battery"));
  }
  s.battery = *battery;
  auto state = o.text("state");
  if (!state) return fail(state.error());
  if (*state == "awake") {
    s.state = PowerState::awake;
  } else if (*state == "asleep") {
    s.state = PowerState::asleep;
  } else {
    return fail(JSONDecodingError{"state"});
  }
  auto awakeUntil = o.optionalInteger("awakeUntil");
  if (!awakeUntil) return fail(awakeUntil.error());
  s.awakeUntil = *awakeUntil;
  auto charging = o.optionalBoolean("charging");
  if (!charging) return fail(charging.error());
  s.charging = charging->value_or(false);
  auto onCharger = o.optionalBoolean("onCharger");
  if (!onCharger) return fail(onCharger.error());
  s.onCharger = onCharger->value_or(false);
  auto lastCheckIn = o.integer("lastCheckIn");
  if (!lastCheckIn) return fail(lastCheckIn.error());
  s.lastCheckIn = *lastCheckIn;
  auto nextCheckIn = o.optionalInteger("nextCheckIn");
  if (!nextCheckIn) return fail(nextCheckIn.error());
  s.nextCheckIn = *nextCheckIn;
  auto mac = readName(o, "mac");
  if (!mac) return std::unexpected(mac.error());
  s.mac = std::move(*mac);
  auto tz = readName(o, "tz");
  if (!tz) return std::unexpected(tz.error());
  s.tz = std::move(*tz);
  // The nested configuration follows AgentConfig's JSON rules: missing or null keys take the
  // defaults and the values are clamped.
  const auto config = o.object("config");
  if (!config) return fail(config.error());
  const auto hours = o.optionalInteger("awakeHoursDefault", *config);
  if (!hours) return fail(JSONDecodingError{"config.awakeHoursDefault"});
  const auto checkIn = o.optionalInteger("checkIn", *config);
  if (!checkIn) return fail(JSONDecodingError{"config.checkIn"});
  s.config = AgentConfig(checkIn->value_or(AgentConfig::defaultCheckInMinutes),
                         hours->value_or(AgentConfig::defaultAwakeHours));
  s.id = std::move(id);
  s.ts = ts;
  return Message(std::move(s));
}

std::expected<Message, MessageDecodeError> decodeAck(const JSONRecord& o, std::string id, std::int64_t ts) {
  auto note = o.optionalText("note");
  if (!note) return fail(note.error());
  if (*note && characterCount(**note) > Limits::noteLengthMax) return fail(MessageError::outOfBounds("note"));
  auto forID = o.text("for");
  if (!forID) return fail(forID.error());
  if (!idLengthOK(*forID)) return fail(MessageError::outOfBounds("for"));
  auto ok = o.boolean("ok");
  if (!ok) return fail(ok.error());
  return Message(Ack{std::move(*forID), *ok, std::move(*note), std::move(id), ts});
}

}  // namespace

std::string_view toText(CommandKind kind) {
  switch (kind) {
    case CommandKind::wake: return "wake";
    case CommandKind::status: return "status";
    case CommandKind::end: return "end";
  }
  return "status";
}

std::string_view toText(PowerState state) { return state == PowerState::awake ? "awake" : "asleep"; }

std::int64_t Command::effectiveHours(std::int64_t defaultHours) const {
  return std::clamp<std::int64_t>(hours.value_or(defaultHours), 1, 24);
}

const std::string& Message::id() const {
  return std::visit([](const auto& p) -> const std::string& { return p.id; }, payload);
}

std::int64_t Message::ts() const {
  return std::visit([](const auto& p) { return p.ts; }, payload);
}

bool Message::isPhoneToMac() const {
  return std::holds_alternative<Command>(payload) || std::holds_alternative<ConfigChange>(payload);
}

std::string_view Message::typeName() const {
  if (const auto* c = std::get_if<Command>(&payload)) return toText(c->kind);
  if (std::holds_alternative<ConfigChange>(payload)) return "config";
  if (std::holds_alternative<MacState>(payload)) return "state";
  return "ack";
}

std::string Message::jsonText() const {
  json o = json::object();
  o["v"] = protocolVersion;
  o["type"] = typeName();
  o["id"] = id();
  o["ts"] = ts();
  if (const auto* c = std::get_if<Command>(&payload)) {
    o["from"] = c->from;
    if (c->kind == CommandKind::wake && c->hours) o["hours"] = *c->hours;
  } else if (const auto* change = std::get_if<ConfigChange>(&payload)) {
    o["from"] = change->from;
    if (change->checkInMinutes) o["checkIn"] = *change->checkInMinutes;
  } else if (const auto* s = std::get_if<MacState>(&payload)) {
    o["state"] = toText(s->state);
    o["awakeUntil"] = optionalValue(s->awakeUntil);
    o["battery"] = optionalValue(s->battery);
    o["charging"] = s->charging;
    o["onCharger"] = s->onCharger;
    o["lastCheckIn"] = s->lastCheckIn;
    o["nextCheckIn"] = optionalValue(s->nextCheckIn);
    o["mac"] = s->mac;
    o["tz"] = s->tz;
    o["config"] = s->config.toJSON();
  } else if (const auto* a = std::get_if<Ack>(&payload)) {
    o["for"] = a->forID;
    o["ok"] = a->ok;
    if (a->note) o["note"] = *a->note;
  }
  return JSONFields::compact(o);
}

Bytes Message::jsonData() const {
  const std::string text = jsonText();
  return Bytes(text.begin(), text.end());
}

std::expected<Message, MessageDecodeError> Message::decode(ByteView bytes) {
  const std::optional<JSONRecord> record = JSONRecord::parse(bytes);
  if (!record) return fail(JSONDecodingError{});
  const JSONRecord& o = *record;

  const auto v = o.integer("v");
  if (!v) return fail(v.error());
  if (*v != protocolVersion) return fail(MessageError::unsupportedVersion(*v));
  auto type = o.text("type");
  if (!type) return fail(type.error());
  auto id = o.text("id");
  if (!id) return fail(id.error());
  if (!idLengthOK(*id)) return fail(MessageError::outOfBounds("id"));
  const auto ts = o.integer("ts");
  if (!ts) return fail(ts.error());
  if (*ts < Limits::tsMin) return fail(MessageError::outOfBounds("ts"));

  if (*type == "wake") return decodeCommand(o, CommandKind::wake, std::move(*id), *ts);
  if (*type == "status") return decodeCommand(o, CommandKind::status, std::move(*id), *ts);
  if (*type == "end") return decodeCommand(o, CommandKind::end, std::move(*id), *ts);
  if (*type == "config") return decodeConfig(o, std::move(*id), *ts);
  if (*type == "state") return decodeState(o, std::move(*id), *ts);
  if (*type == "ack") return decodeAck(o, std::move(*id), *ts);
  return fail(MessageError::unknownType(std::move(*type)));
}

}  // namespace torvo
