#include "model/model.h"

#include <gtest/gtest.h>

namespace torvo {
namespace {

using json = nlohmann::json;

PairedDevice device(std::string kid, std::int64_t pairedAt, std::optional<std::int64_t> lastSeen) {
  return PairedDevice{std::move(kid), Bytes(32, 7), "Phone", pairedAt, lastSeen};
}

TEST(AgentStateFile, DefaultAndMinimalStateDecode) {
  const auto minimal =
      AgentStateFile::fromJSON(json::parse(R"({"replay":{"seen":[]},"drops":{"invalid":0,"replay":0,"clock":0,"role":0}})"));
  ASSERT_TRUE(minimal.has_value());
  EXPECT_EQ(*minimal, AgentStateFile());
  EXPECT_EQ(AgentStateFile::fromJSON(AgentStateFile().toJSON()), AgentStateFile());
}

TEST(AgentStateFile, RequiredMembersAndKinds) {
  const std::string drops = R"("drops":{"invalid":0,"replay":0,"clock":0,"role":0})";
  const std::string replay = R"("replay":{"seen":[]})";
  const std::string bad[] = {
      "{" + replay + "}",
      "{" + drops + "}",
      "{" + replay + R"(,"drops":{"invalid":0,"replay":0,"clock":0}})",
      "{" + replay + "," + drops + R"(,"awakeUntil":1.5})",
      "{" + replay + "," + drops + R"(,"lastReportedState":"dozing"})",
      "{" + replay + "," + drops + R"(,"wokenBy":{"at":5}})",
      "[]",
  };
  for (const auto& text : bad) EXPECT_FALSE(AgentStateFile::fromJSON(json::parse(text)).has_value()) << text;
  const auto nulls = AgentStateFile::fromJSON(
      json::parse("{" + replay + "," + drops + R"(,"awakeUntil":null,"wokenBy":null})"));
  EXPECT_EQ(nulls, AgentStateFile());
}

TEST(AgentStateFile, FullRoundTripAndAMacWakeHasNoKid) {
  AgentStateFile state;
  state.awakeUntil = 2000;
  state.wakeSentAt = 990;
  state.wokenBy = WakeRecord{"this Mac", 1000, std::nullopt};
  state.lastPhoneWake = WakeRecord{"Anna", 900, "abcdefghij"};
  state.lastCheckIn = 995;
  state.scheduledWake = 1800;
  state.scheduledEvery = 15;
  state.lastNtfyID = "AbC123xyz789";
  state.replay = ReplayGuard({"m1", "m2"});
  state.drops = DropCounts{1, 2, 3, 4};
  state.relaySkew = -3;
  state.relayReachable = true;
  state.lastReportedState = PowerState::awake;

  const json encoded = state.toJSON();
  EXPECT_FALSE(encoded["wokenBy"].contains("kid"));
  EXPECT_EQ(encoded["lastReportedState"], "awake");
  EXPECT_EQ(AgentStateFile::fromJSON(json::parse(encoded.dump(2))), state);
}

TEST(PairedDevice, KeyIsPaddedBase64AndLastSeenLeftOutWhilePending) {
  const json encoded = device("abcdefghij", 100, std::nullopt).toJSON();
  EXPECT_FALSE(encoded.contains("lastSeen"));
  const std::string key = encoded["keyData"];
  EXPECT_EQ(key.size(), 44u);
  EXPECT_EQ(key.back(), '=');
  EXPECT_NE(key[42], '=');
  const auto decoded = PairedDevice::fromJSON(encoded);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_FALSE(decoded->isConfirmed());
  EXPECT_EQ(decoded->keyData, Bytes(32, 7));

  json badKey = encoded;
  badKey["keyData"] = "not base64!";
  EXPECT_FALSE(PairedDevice::fromJSON(badKey).has_value());
}

TEST(DevicesFile, TrailingSlashesRemovedWhenBuiltNotWhenDecoded) {
  EXPECT_EQ(DevicesFile("https://relay.example/", "t").relay, "https://relay.example");
  EXPECT_EQ(DevicesFile("https://relay.example/base//", "t").relay, "https://relay.example/base");
  EXPECT_EQ(DevicesFile("///", "t").relay, "");
  const auto decoded =
      DevicesFile::fromJSON(json::parse(R"({"relay":"https://r.example/","topic":"t","devices":[]})"));
  EXPECT_EQ(decoded->relay, "https://r.example/");
  EXPECT_FALSE(DevicesFile::fromJSON(json::parse(R"({"relay":"r","topic":"t"})")).has_value());
}

TEST(DevicesFile, PruneExpiredRemovesOnlyOldPendingDevices) {
  const std::int64_t now = 1'700'000'000;
  DevicesFile file("https://r.example", "t",
                   {device("aaaaaaaaaa", now - 299, std::nullopt),
                    device("bbbbbbbbbb", now - 300, std::nullopt),
                    device("cccccccccc", now - 365 * 86400, now - 100),
                    device("dddddddddd", now - 5000, std::nullopt)});
  EXPECT_EQ(file.pruneExpired(now), (std::vector<std::string>{"bbbbbbbbbb", "dddddddddd"}));
  ASSERT_EQ(file.devices.size(), 2u);
  EXPECT_EQ(file.devices[0].kid, "aaaaaaaaaa");
  EXPECT_EQ(file.devices[1].kid, "cccccccccc");
  EXPECT_TRUE(file.pruneExpired(now).empty());
  EXPECT_EQ(file.confirmed().size(), 1u);
}

TEST(DevicesFile, KeyForFindsTheFirstMatch) {
  DevicesFile file("https://r.example", "t",
                   {device("aaaaaaaaaa", 1, 5), device("aaaaaaaaaa", 2, 6)});
  ASSERT_NE(file.key("aaaaaaaaaa"), nullptr);
  EXPECT_EQ(file.key("aaaaaaaaaa")->pairedAt, 1);
  EXPECT_EQ(file.key("zzzzzzzzzz"), nullptr);
  EXPECT_TRUE(file.relayURL().has_value());
  EXPECT_FALSE(DevicesFile("not a url", "t").relayURL().has_value());
}

}  // namespace
}  // namespace torvo
