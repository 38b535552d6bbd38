#include "agent/with_timeout.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>

#include "agent/relay.h"
#include "tests/relay_test_responder.h"
#include "tests/run_awaitable.h"

namespace torvo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using test::runAwaitable;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

asio::awaitable<bool> trueAfter(double seconds) {
  asio::steady_timer timer(co_await asio::this_coro::executor, detail::secondsToDuration(seconds));
  co_await timer.async_wait(asio::use_awaitable);
  co_return true;
}

asio::awaitable<bool> failAtOnce() {
  throw std::runtime_error("broken");
  co_return true;
}

TEST(WithTimeout, FirstOfOperationAndLimitWins) {
  auto start = Clock::now();
  EXPECT_EQ(runAwaitable(withTimeout(2, failAtOnce())), std::nullopt);
  EXPECT_LT(secondsSince(start), 0.5);

  start = Clock::now();
  EXPECT_EQ(runAwaitable(withTimeout(2, trueAfter(0.3))), true);
  EXPECT_GE(secondsSince(start), 0.29);
  EXPECT_LT(secondsSince(start), 1.5);

  // An operation that would take 10 s is cancelled at the limit.
  start = Clock::now();
  EXPECT_EQ(runAwaitable(withTimeout(2, trueAfter(10))), std::nullopt);
  EXPECT_GE(secondsSince(start), 1.9);
  EXPECT_LT(secondsSince(start), 5);
}

TEST(WithTimeout, OperationsWithoutValueReportSuccess) {
  const auto succeed = []() -> asio::awaitable<void> { co_return; };
  const auto fail = []() -> asio::awaitable<void> {
    throw std::runtime_error("broken");
    co_return;
  };
  EXPECT_TRUE(runAwaitable(withTimeout(1, succeed())));
  EXPECT_FALSE(runAwaitable(withTimeout(1, fail())));
}

TEST(WithTimeout, CancellationStopsAnHTTPTransfer) {
  test::ScriptedResponder slow({{test::ScriptedResponder::http(200), 10}});
  WorkerPool workers(1);
  NtfyRelay relay(slow.url(), "t", workers);
  const auto start = Clock::now();
  EXPECT_EQ(runAwaitable(withTimeout(0.5, relay.poll(NtfySince::all()))), std::nullopt);
  EXPECT_LT(secondsSince(start), 2);
  // The transfer was abandoned, not left running until its own 20-second limit: the responder
  // sees the connection closed, and the single worker is free for the next call.
  for (int i = 0; i < 100 && slow.abandoned() == 0; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(slow.abandoned(), 1);
  EXPECT_TRUE(runAwaitable(withTimeout(5, workers.run([](const HttpCancel&) { return 7; }))));
}

TEST(WorkerPool, ResumesWithTheResultOrTheException) {
  WorkerPool workers(2);
  const auto caller = std::this_thread::get_id();
  const auto work = [&]() -> asio::awaitable<std::thread::id> {
    const auto worker =
        co_await workers.run([](const HttpCancel&) { return std::this_thread::get_id(); });
    EXPECT_EQ(std::this_thread::get_id(), caller);  // back on the io_context's thread
    co_return worker;
  };
  EXPECT_NE(runAwaitable(work()), caller);
  EXPECT_THROW(runAwaitable(workers.run([](const HttpCancel&) -> int {
                 throw NtfyError::http(502);
               })),
               NtfyError);
}

}  // namespace
}  // namespace torvo
