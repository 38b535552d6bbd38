#include "app_socket/ipc.h"

#include <gtest/gtest.h>

namespace torvo {
namespace {

using json = nlohmann::json;
namespace Q = AppRequests;
namespace R = AppResponses;

TEST(AppRequest, EveryCaseRoundTrips) {
  const std::pair<AppRequest, std::string> cases[] = {
      {{Q::GetStatus{}}, R"({"getStatus":{}})"},
      {{Q::SetCheckIn{30}}, R"({"setCheckIn":{"minutes":30}})"},
      {{Q::AddDevice{}}, R"({"addDevice":{}})"},
      {{Q::CancelPairing{"abcdefghij"}}, R"({"cancelPairing":{"kid":"abcdefghij"}})"},
      {{Q::RemoveDevice{"abcdefghij"}}, R"({"removeDevice":{"kid":"abcdefghij"}})"},
      {{Q::ResetPairing{}}, R"({"resetPairing":{}})"},
      {{Q::WakeNow{3}}, R"({"wakeNow":{"hours":3}})"},
      {{Q::EndWake{}}, R"({"endWake":{}})"},
      {{Q::CheckInNow{}}, R"({"checkInNow":{}})"},
      {{Q::ApplySetup{SetupChoices{true, false, true}}},
       R"({"applySetup":{"_0":{"pauseUpdates":true,"restartAfterPowerCut":false,"wakeForNetwork":true}}})"},
      {{Q::NoteUserChange{UserChange{ScreenLockSetting::immediate()}}},
       R"({"noteUserChange":{"_0":{"screenLockOriginal":{"_0":{"immediate":{}}}}}})"},
      {{Q::UndoSetup{}}, R"({"undoSetup":{}})"},
      {{Q::GetLoginItems{}}, R"({"getLoginItems":{}})"},
  };
  for (const auto& [request, text] : cases) {
    EXPECT_EQ(request.toJSON().dump(), text);
    EXPECT_EQ(AppRequest::fromJSON(json::parse(text)), request) << text;
  }
}

TEST(AppRequest, DecodingRules) {
  const std::pair<std::string, bool> cases[] = {
      {R"({"getStatus":{}})", true},
      {R"({"getStatus":null})", false},
      {R"({"getStatus":true})", false},
      {R"({})", false},
      {R"({"frobnicate":{}})", false},
      {R"({"getStatus":{},"x":1})", true},
      {R"({"getStatus":{},"endWake":{}})", false},
      {R"({"wakeNow":{}})", false},
      {R"({"wakeNow":{"hours":3,"x":0}})", true},
      {R"({"wakeNow":{"hours":1.5}})", false},
      {R"({"applySetup":{}})", false},
      {R"([])", false},
  };
  for (const auto& [text, ok] : cases) {
    EXPECT_EQ(AppRequest::fromJSON(json::parse(text)).has_value(), ok) << text;
  }
  EXPECT_EQ(AppRequest::fromJSON(json::parse("{}")).error().reason,
            "Invalid number of keys found, expected one.");
}

AgentStatus sparseStatus() {
  AgentStatus status;
  status.version = "0.1.0";
  status.relayHost = "relay.example";
  status.macName = "Studio";
  return status;
}

TEST(AgentStatus, AbsentFieldsAreLeftOutAndReadBack) {
  const AgentStatus status = sparseStatus();
  const json encoded = status.toJSON();
  for (const char* key : {"awakeUntil", "lastCheckIn", "nextCheckIn", "battery", "wokenBy", "setup",
                          "relayReachable"}) {
    EXPECT_FALSE(encoded.contains(key)) << key;
  }
  EXPECT_EQ(AgentStatus::fromJSON(encoded), status);

  AgentStatus full = status;
  full.awakeUntil = 2000;
  full.wokenBy = WakeRecord{"this Mac", 1000, std::nullopt};
  full.lastPhoneWake = WakeRecord{"Anna", 900, "abcdefghij"};
  full.battery = 55;
  full.devices = {DeviceInfo{"abcdefghij", "Anna", 5, std::nullopt}, DeviceInfo{"bbbbbbbbbb", "Bob", 6, 7}};
  full.relayReachable = false;
  full.setup = SetupStatus{true, std::nullopt, false, false, {}};
  EXPECT_EQ(AgentStatus::fromJSON(json::parse(full.toJSON().dump())), full);
  EXPECT_FALSE(full.toJSON()["devices"][0].contains("lastSeen"));

  json missing = encoded;
  missing.erase("drops");
  EXPECT_FALSE(AgentStatus::fromJSON(missing).has_value());
}

TEST(AgentStatus, IsAwake) {
  AgentStatus status = sparseStatus();
  EXPECT_FALSE(status.isAwake(100));
  status.awakeUntil = 100;
  EXPECT_TRUE(status.isAwake(99));
  EXPECT_FALSE(status.isAwake(100));
}

TEST(AppResponse, CasesAndTheAbsentLoginList) {
  const std::pair<AppResponse, std::string> cases[] = {
      {{R::Ok{}}, R"({"ok":{}})"},
      {{R::Refused{"The relay address isn't valid."}}, R"({"refused":{"_0":"The relay address isn't valid."}})"},
      {{R::Pairing{"torvo://pair?v=1", "abcdefghij", 1300}},
       R"({"pairing":{"expiresAt":1300,"kid":"abcdefghij","url":"torvo://pair?v=1"}})"},
      {{R::LoginItems{std::nullopt}}, R"({"loginItems":{}})"},
      {{R::LoginItems{std::vector<LoginItem>{LoginItem{"Zoom"}}}}, R"({"loginItems":{"_0":[{"name":"Zoom"}]}})"},
      {{R::Undone{UndoResult{{"pmset -c womp 0"}, {}, std::nullopt}}},
       R"({"undone":{"_0":{"failed":[],"restored":["pmset -c womp 0"]}}})"},
  };
  for (const auto& [response, text] : cases) {
    EXPECT_EQ(response.toJSON().dump(), text);
    EXPECT_EQ(AppResponse::fromJSON(json::parse(text)), response) << text;
  }
  const AppResponse status{R::Status{sparseStatus()}};
  EXPECT_EQ(AppResponse::fromJSON(status.toJSON()), status);
  EXPECT_EQ(AppResponse::fromJSON(json::parse(R"({"refused":{"_0":"a\/b"}})"))->value,
            AppResponse::Value(R::Refused{"a/b"}));
}

TEST(PollCadence, Chooser) {
  EXPECT_EQ(PollCadence::interval(true, true), 2);
  EXPECT_EQ(PollCadence::interval(true, false), 5);
  EXPECT_EQ(PollCadence::interval(false, false), 60);
}

}  // namespace
}  // namespace torvo
