#include "tests/fakes/fake_relay.h"

#include <gtest/gtest.h>

#include <future>

#include "tests/run_awaitable.h"

namespace torvo {
namespace {

using test::runAwaitable;

TEST(FakeRelay, ServesScriptedPollsInOrderAndRecordsCalls) {
  FakeRelay relay;
  const NtfyEvent event{"e1", 10, "message", "t", "sealed"};
  relay.queuePoll({event});
  relay.queuePollError(std::make_exception_ptr(NtfyError::http(500)));
  EXPECT_EQ(runAwaitable(relay.poll(NtfySince::all())), std::vector<NtfyEvent>{event});
  EXPECT_THROW(runAwaitable(relay.poll(NtfySince::id("e1"))), NtfyError);
  EXPECT_TRUE(runAwaitable(relay.poll(NtfySince::unix(5))).empty());
  EXPECT_EQ(relay.polls(), (std::vector<NtfySince>{NtfySince::all(), NtfySince::id("e1"),
                                                   NtfySince::unix(5)}));

  runAwaitable(relay.publish("a"));
  relay.failPublishes(std::make_exception_ptr(
      TransportError(TransportError::Kind::cannotConnect, "down")));
  EXPECT_THROW(runAwaitable(relay.publish("b")), TransportError);
  relay.failPublishes(nullptr);
  runAwaitable(relay.publish("c"));
  EXPECT_EQ(relay.published(), (std::vector<std::string>{"a", "c"}));

  relay.setHealth({.reachable = false, .skew = std::nullopt});
  EXPECT_EQ(runAwaitable(relay.health(20)), RelayHealth{});
  EXPECT_EQ(relay.healthWaits(), std::vector<double>{20});
}

}  // namespace
}  // namespace torvo
