// app_socket/ (torvo_app_socket): the local socket between the agent and the desktop app: these
// messages, framing, the socket server with its peer policy and identity, and the client.
//
// The messages of the local app socket: one AppRequest from the desktop app, one AppResponse
// from the agent, and the AgentStatus the app shows. Enumerations with payloads are one JSON
// object with one key, the case name, whose value is an object of the case's values by label
// (or under "_0" when unlabelled); optional record fields are left out when absent and read as
// absent when missing or null. Plain values; any thread may use its own copy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "kit/config.h"
#include "model/model.h"
#include "model/setup_records.h"

namespace torvo {

// One paired device as the app sees it: no key material.
struct DeviceInfo {
  std::string kid;
  std::string name;
  std::int64_t pairedAt = 0;
  std::optional<std::int64_t> lastSeen;

  nlohmann::json toJSON() const;
  static Decoded<DeviceInfo> fromJSON(const nlohmann::json& json);
  bool operator==(const DeviceInfo&) const = default;
};

struct AgentStatus {
  std::string version;
  bool simulate = false;
  std::optional<std::int64_t> awakeUntil;
  std::optional<WakeRecord> wokenBy;
  std::optional<WakeRecord> lastPhoneWake;
  std::optional<std::int64_t> lastCheckIn;
  std::optional<std::int64_t> nextCheckIn;
  std::optional<std::int64_t> battery;
  bool charging = false;
  bool onCharger = false;
  AgentConfig config;
  std::vector<DeviceInfo> devices;
  std::string relayHost;
  std::optional<bool> relayReachable;
  bool clockLooksWrong = false;
  DropCounts drops;
  std::optional<SetupStatus> setup;
  std::string macName;

  // A Wake runs: `now` is before `awakeUntil`.
  bool isAwake(std::int64_t now) const { return awakeUntil && now < *awakeUntil; }

  nlohmann::json toJSON() const;
  static Decoded<AgentStatus> fromJSON(const nlohmann::json& json);
  bool operator==(const AgentStatus&) const = default;
};

namespace AppRequests {
struct GetStatus { bool operator==(const GetStatus&) const = default; };
struct SetCheckIn { std::int64_t minutes = 0; bool operator==(const SetCheckIn&) const = default; };
struct AddDevice { bool operator==(const AddDevice&) const = default; };
struct CancelPairing { std::string kid; bool operator==(const CancelPairing&) const = default; };
struct RemoveDevice { std::string kid; bool operator==(const RemoveDevice&) const = default; };
struct ResetPairing { bool operator==(const ResetPairing&) const = default; };
struct WakeNow { std::int64_t hours = 0; bool operator==(const WakeNow&) const = default; };
struct EndWake { bool operator==(const EndWake&) const = default; };
struct CheckInNow { bool operator==(const CheckInNow&) const = default; };
struct ApplySetup { SetupChoices choices; bool operator==(const ApplySetup&) const = default; };
struct NoteUserChange { UserChange change; bool operator==(const NoteUserChange&) const = default; };
struct UndoSetup { bool operator==(const UndoSetup&) const = default; };
struct GetLoginItems { bool operator==(const GetLoginItems&) const = default; };
}  // namespace AppRequests

// What the app asks of the agent.
struct AppRequest {
  using Value = std::variant<AppRequests::GetStatus, AppRequests::SetCheckIn, AppRequests::AddDevice,
                             AppRequests::CancelPairing, AppRequests::RemoveDevice,
                             AppRequests::ResetPairing, AppRequests::WakeNow, AppRequests::EndWake,
                             AppRequests::CheckInNow, AppRequests::ApplySetup,
                             AppRequests::NoteUserChange, AppRequests::UndoSetup,
                             AppRequests::GetLoginItems>;
  Value value;

  // The case name, for example "getStatus".
  std::string_view caseName() const;

  nlohmann::json toJSON() const;
  static Decoded<AppRequest> fromJSON(const nlohmann::json& json);
  bool operator==(const AppRequest&) const = default;
};

namespace AppResponses {
struct Status { AgentStatus status; bool operator==(const Status&) const = default; };
struct Pairing {
  std::string url;
  std::string kid;
  std::int64_t expiresAt = 0;
  bool operator==(const Pairing&) const = default;
};
struct Undone { UndoResult result; bool operator==(const Undone&) const = default; };
struct LoginItems {
  std::optional<std::vector<LoginItem>> items;
  bool operator==(const LoginItems&) const = default;
};
struct Ok { bool operator==(const Ok&) const = default; };
struct Refused { std::string text; bool operator==(const Refused&) const = default; };
}  // namespace AppResponses

// What the agent answers.
struct AppResponse {
  using Value = std::variant<AppResponses::Status, AppResponses::Pairing, AppResponses::Undone,
                             AppResponses::LoginItems, AppResponses::Ok, AppResponses::Refused>;
  Value value;

  std::string_view caseName() const;

  nlohmann::json toJSON() const;
  static Decoded<AppResponse> fromJSON(const nlohmann::json& json);
  bool operator==(const AppResponse&) const = default;
};

// How often the app asks for the status.
namespace PollCadence {
inline constexpr std::int64_t fast = 2;
inline constexpr std::int64_t visible = 5;
inline constexpr std::int64_t hidden = 60;
inline std::int64_t interval(bool isVisible, bool isFast) {
  return isFast ? fast : isVisible ? visible : hidden;
}
}  // namespace PollCadence

}  // namespace torvo
