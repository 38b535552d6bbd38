#include "app_socket/ipc.h"

#include "base/one_key_json.h"

namespace torvo {
namespace {

using json = nlohmann::json;
namespace F = JSONFields;
namespace Q = AppRequests;
namespace R = AppResponses;

// A record under `key`: required, or absent when missing or null.
template <class T>
Decoded<T> record(const json& object, std::string_view key) {
  const json& value = F::member(object, key);
  if (value.is_null()) return badField(key);
  return T::fromJSON(value);
}

template <class T>
Decoded<std::vector<T>> list(const json& value, std::string_view key) {
  if (!value.is_array()) return badField(key);
  std::vector<T> out;
  for (const auto& item : value) {
    auto decoded = T::fromJSON(item);
    if (!decoded) return std::unexpected(decoded.error());
    out.push_back(std::move(*decoded));
  }
  return out;
}

template <class T>
json listJSON(const std::vector<T>& items) {
  json out = json::array();
  for (const auto& item : items) out.push_back(item.toJSON());
  return out;
}

constexpr std::string_view requestNames[] = {
    "getStatus", "setCheckIn",   "addDevice", "cancelPairing",  "removeDevice",
    "resetPairing", "wakeNow",   "endWake",   "checkInNow",     "applySetup",
    "noteUserChange", "undoSetup", "getLoginItems"};
constexpr std::string_view responseNames[] = {"status", "pairing", "undone", "loginItems", "ok", "refused"};

}  // namespace

json DeviceInfo::toJSON() const {
  json out = {{"kid", kid}, {"name", name}, {"pairedAt", pairedAt}};
  putOptional(out, "lastSeen", lastSeen);
  return out;
}

Decoded<DeviceInfo> DeviceInfo::fromJSON(const json& doc) {
  if (!doc.is_object()) return badField("");
  DeviceInfo info;
  TORVO_ASSIGN(info.kid, F::text(doc, "kid"));
  TORVO_ASSIGN(info.name, F::text(doc, "name"));
  TORVO_ASSIGN(info.pairedAt, F::integer(doc, "pairedAt"));
  TORVO_ASSIGN(info.lastSeen, F::optionalInteger(doc, "lastSeen"));
  return info;
}

json AgentStatus::toJSON() const {
  json out = {{"version", version},
              {"simulate", simulate},
              {"charging", charging},
              {"onCharger", onCharger},
              {"config", config.toJSON()},
              {"devices", listJSON(devices)},
              {"relayHost", relayHost},
              {"clockLooksWrong", clockLooksWrong},
              {"drops", drops.toJSON()},
              {"macName", macName}};
  putOptional(out, "awakeUntil", awakeUntil);
  if (wokenBy) out["wokenBy"] = wokenBy->toJSON();
  if (lastPhoneWake) out["lastPhoneWake"] = lastPhoneWake->toJSON();
  putOptional(out, "lastCheckIn", lastCheckIn);
  putOptional(out, "nextCheckIn", nextCheckIn);
  putOptional(out, "battery", battery);
  putOptional(out, "relayReachable", relayReachable);
  if (setup) out["setup"] = setup->toJSON();
  return out;
}

Decoded<AgentStatus> AgentStatus::fromJSON(const json& doc) {
  if (!doc.is_object()) return badField("");
  AgentStatus status;
  TORVO_ASSIGN(status.version, F::text(doc, "version"));
  TORVO_ASSIGN(status.simulate, F::boolean(doc, "simulate"));
  TORVO_ASSIGN(status.awakeUntil, F::optionalInteger(doc, "awakeUntil"));
  TORVO_ASSIGN(status.wokenBy, optionalRecord<WakeRecord>(doc, "wokenBy"));
  TORVO_ASSIGN(status.lastPhoneWake, optionalRecord<WakeRecord>(doc, "lastPhoneWake"));
  TORVO_ASSIGN(status.lastCheckIn, F::optionalInteger(doc, "lastCheckIn"));
  TORVO_ASSIGN(status.nextCheckIn, F::optionalInteger(doc, "nextCheckIn"));
  TORVO_ASSIGN(status.battery, F::optionalInteger(doc, "battery"));
  TORVO_ASSIGN(status.charging, F::boolean(doc, "charging"));
  TORVO_ASSIGN(status.onCharger, F::boolean(doc, "onCharger"));
  TORVO_ASSIGN(status.config, record<AgentConfig>(doc, "config"));
  TORVO_ASSIGN(status.devices, list<DeviceInfo>(F::member(doc, "devices"), "devices"));
  TORVO_ASSIGN(status.relayHost, F::text(doc, "relayHost"));
  TORVO_ASSIGN(status.relayReachable, F::optionalBoolean(doc, "relayReachable"));
  TORVO_ASSIGN(status.clockLooksWrong, F::boolean(doc, "clockLooksWrong"));
  TORVO_ASSIGN(status.drops, record<DropCounts>(doc, "drops"));
  TORVO_ASSIGN(status.setup, optionalRecord<SetupStatus>(doc, "setup"));
  TORVO_ASSIGN(status.macName, F::text(doc, "macName"));
  return status;
}

std::string_view AppRequest::caseName() const { return requestNames[value.index()]; }

json AppRequest::toJSON() const {
  const json payload = std::visit(
      [](const auto& v) -> json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, Q::SetCheckIn>) return {{"minutes", v.minutes}};
        else if constexpr (std::is_same_v<T, Q::CancelPairing> || std::is_same_v<T, Q::RemoveDevice>)
          return {{"kid", v.kid}};
        else if constexpr (std::is_same_v<T, Q::WakeNow>) return {{"hours", v.hours}};
        else if constexpr (std::is_same_v<T, Q::ApplySetup>) return {{"_0", v.choices.toJSON()}};
        else if constexpr (std::is_same_v<T, Q::NoteUserChange>) return {{"_0", v.change.toJSON()}};
        else return json::object();
      },
      value);
  return OneKeyJSON::make(caseName(), payload);
}

Decoded<AppRequest> AppRequest::fromJSON(const json& doc) {
  auto found = OneKeyJSON::find(doc, {requestNames[0], requestNames[1], requestNames[2], requestNames[3],
                                      requestNames[4], requestNames[5], requestNames[6], requestNames[7],
                                      requestNames[8], requestNames[9], requestNames[10], requestNames[11],
                                      requestNames[12]});
  if (!found) return std::unexpected(found.error());
  const std::string& name = found->first;
  const json& in = *found->second;
  if (name == "getStatus") return AppRequest{Q::GetStatus{}};
  if (name == "setCheckIn") {
    Q::SetCheckIn v;
    TORVO_ASSIGN(v.minutes, F::integer(in, "minutes"));
    return AppRequest{v};
  }
  if (name == "addDevice") return AppRequest{Q::AddDevice{}};
  if (name == "cancelPairing" || name == "removeDevice") {
    std::string kid;
    TORVO_ASSIGN(kid, F::text(in, "kid"));
    if (name == "cancelPairing") return AppRequest{Q::CancelPairing{kid}};
    return AppRequest{Q::RemoveDevice{kid}};
  }
  if (name == "resetPairing") return AppRequest{Q::ResetPairing{}};
  if (name == "wakeNow") {
    Q::WakeNow v;
    TORVO_ASSIGN(v.hours, F::integer(in, "hours"));
    return AppRequest{v};
  }
  if (name == "endWake") return AppRequest{Q::EndWake{}};
  if (name == "checkInNow") return AppRequest{Q::CheckInNow{}};
  if (name == "applySetup") {
    Q::ApplySetup v;
    TORVO_ASSIGN(v.choices, record<SetupChoices>(in, "_0"));
    return AppRequest{v};
  }
  if (name == "noteUserChange") {
    Q::NoteUserChange v;
    TORVO_ASSIGN(v.change, record<UserChange>(in, "_0"));
    return AppRequest{v};
  }
  if (name == "undoSetup") return AppRequest{Q::UndoSetup{}};
  return AppRequest{Q::GetLoginItems{}};
}

std::string_view AppResponse::caseName() const { return responseNames[value.index()]; }

json AppResponse::toJSON() const {
  const json payload = std::visit(
      [](const auto& v) -> json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, R::Status>) return {{"_0", v.status.toJSON()}};
        else if constexpr (std::is_same_v<T, R::Pairing>)
          return {{"url", v.url}, {"kid", v.kid}, {"expiresAt", v.expiresAt}};
        else if constexpr (std::is_same_v<T, R::Undone>) return {{"_0", v.result.toJSON()}};
        else if constexpr (std::is_same_v<T, R::LoginItems>) {
          json out = json::object();
          if (v.items) out["_0"] = listJSON(*v.items);
          return out;
        } else if constexpr (std::is_same_v<T, R::Refused>) return {{"_0", v.text}};
        else return json::object();
      },
      value);
  return OneKeyJSON::make(caseName(), payload);
}

Decoded<AppResponse> AppResponse::fromJSON(const json& doc) {
  auto found = OneKeyJSON::find(doc, {responseNames[0], responseNames[1], responseNames[2],
                                      responseNames[3], responseNames[4], responseNames[5]});
  if (!found) return std::unexpected(found.error());
  const std::string& name = found->first;
  const json& in = *found->second;
  if (name == "status") {
    R::Status v;
    TORVO_ASSIGN(v.status, record<AgentStatus>(in, "_0"));
    return AppResponse{v};
  }
  if (name == "pairing") {
    R::Pairing v;
    TORVO_ASSIGN(v.url, F::text(in, "url"));
    TORVO_ASSIGN(v.kid, F::text(in, "kid"));
    TORVO_ASSIGN(v.expiresAt, F::integer(in, "expiresAt"));
    return AppResponse{v};
  }
  if (name == "undone") {
    R::Undone v;
    TORVO_ASSIGN(v.result, record<UndoResult>(in, "_0"));
    return AppResponse{v};
  }
  if (name == "loginItems") {
    R::LoginItems v;
    const json& items = F::member(in, "_0");
    if (!items.is_null()) {
      std::vector<LoginItem> decoded;
      TORVO_ASSIGN(decoded, list<LoginItem>(items, "_0"));
      v.items = std::move(decoded);
    }
    return AppResponse{v};
  }
  if (name == "ok") return AppResponse{R::Ok{}};
  R::Refused v;
  TORVO_ASSIGN(v.text, F::text(in, "_0"));
  return AppResponse{v};
}

}  // namespace torvo
