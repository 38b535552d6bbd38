#include "kit/replay_guard.h"

#include <gtest/gtest.h>

#include <limits>

namespace torvo {
namespace {

std::vector<std::string> ids(int from, int count) {
  std::vector<std::string> out;
  for (int i = from; i < from + count; ++i) out.push_back("id-" + std::to_string(i));
  return out;
}

TEST(ReplayGuardTest, WindowFollowsTheInterval) {
  EXPECT_EQ(ReplayGuard::maxAge(15), 2100);
  EXPECT_EQ(ReplayGuard::maxAge(30), 3900);
  EXPECT_EQ(ReplayGuard::maxAge(60), 7500);
  const struct {
    std::int64_t ts, minutes;
    bool accepted;
  } cases[] = {
      {7900, 15, true}, {7899, 15, false}, {10300, 15, true}, {10301, 15, false},
      {2500, 60, true}, {2499, 60, false}, {6100, 30, true},  {6099, 30, false},
  };
  for (const auto& c : cases) {
    ReplayGuard guard;
    EXPECT_EQ(guard.accept("m", c.ts, 10000, c.minutes), c.accepted) << c.ts << " " << c.minutes;
    EXPECT_EQ(guard.seen().size(), c.accepted ? 1u : 0u);
  }
}

TEST(ReplayGuardTest, ExtremeTimesDoNotWrap) {
  constexpr auto max = std::numeric_limits<std::int64_t>::max();
  constexpr auto min = std::numeric_limits<std::int64_t>::min();
  ReplayGuard guard;
  EXPECT_TRUE(guard.accept("a", max, max, 15));
  EXPECT_FALSE(guard.accept("b", min, max, 15));
  EXPECT_TRUE(guard.accept("c", min, min, 15));
  EXPECT_FALSE(guard.accept("d", max, min, 15));
  EXPECT_EQ(ReplayGuard::maxAge(max), max);
}

TEST(ReplayGuardTest, RefusesEmptyAndRepeatedIdentifiersOnly) {
  ReplayGuard guard;
  EXPECT_FALSE(guard.accept("", 10000, 10000, 15));
  EXPECT_TRUE(guard.accept("w1", 10000, 10000, 15));
  EXPECT_FALSE(guard.accept("w1", 10001, 10000, 15));
  EXPECT_TRUE(guard.accept("W1", 10000, 10000, 15));
  // A message refused for its time is not remembered, so it can pass later.
  EXPECT_FALSE(guard.accept("late", 20000, 10000, 15));
  EXPECT_TRUE(guard.accept("late", 20000, 19900, 15));
  EXPECT_EQ(guard.seen(), (std::vector<std::string>{"w1", "W1", "late"}));
}

TEST(ReplayGuardTest, KeepsTheNewestTwoHundred) {
  ReplayGuard guard;
  for (const auto& id : ids(0, 201)) ASSERT_TRUE(guard.accept(id, 100, 100, 15));
  EXPECT_EQ(guard.seen(), ids(1, 200));
  EXPECT_TRUE(guard.accept("id-0", 100, 100, 15));
  EXPECT_FALSE(guard.accept("id-200", 100, 100, 15));

  EXPECT_EQ(ReplayGuard(ids(0, 250)).seen(), ids(50, 200));
  EXPECT_EQ(ReplayGuard(ids(0, 3)).seen(), ids(0, 3));
}

TEST(ReplayGuardTest, JSONKeepsAStoredListAsIsUntilTheNextAcceptance) {
  const nlohmann::json stored{{"seen", ids(0, 250)}};
  auto guard = ReplayGuard::fromJSON(stored);
  ASSERT_TRUE(guard.has_value());
  EXPECT_EQ(guard->seen().size(), 250u);
  EXPECT_EQ(guard->toJSON(), stored);
  ASSERT_TRUE(guard->accept("new", 5, 5, 15));
  std::vector<std::string> expected = ids(51, 199);
  expected.push_back("new");
  EXPECT_EQ(guard->seen(), expected);

  EXPECT_EQ(ReplayGuard(ids(0, 2)).toJSON().dump(), R"({"seen":["id-0","id-1"]})");
  for (const char* bad : {R"({})", R"({"seen":null})", R"({"seen":"a"})", R"({"seen":["a",1]})", R"([])"}) {
    EXPECT_FALSE(ReplayGuard::fromJSON(nlohmann::json::parse(bad)).has_value()) << bad;
  }
}

}  // namespace
}  // namespace torvo
