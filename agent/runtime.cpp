#include "agent/runtime.h"

#include <csignal>

namespace torvo {

Runtime::Runtime(asio::io_context& io, Agent& agent, AgentLog& log,
                 std::function<void()> stopServer, std::function<void(int)> exit)
    : io_(io),
      agent_(agent),
      log_(log),
      stopServer_(std::move(stopServer)),
      exit_(std::move(exit)),
      signals_(io, SIGTERM, SIGINT) {}

void Runtime::start() {
  waitForSignal();
  asio::co_spawn(io_, loop(), asio::detached);
}

void Runtime::onWake() {
  asio::co_spawn(io_, agent_.checkIn(Trigger::systemWake), asio::detached);
}

asio::awaitable<void> Runtime::loop() {
  co_await agent_.checkIn(Trigger::launch);
  for (;;) {
    co_await agent_.waitForNextPoll();
    co_await agent_.checkIn(Trigger::timer);
  }
}

void Runtime::waitForSignal() {
  signals_.async_wait([this](const std::error_code& error, int) {
    if (error) return;
    log_.info(AgentLog::Category::agent, "stopping");
    if (stopServer_) stopServer_();
    // The agent's stop runs on its own thread like any other caller; a check-in suspended on
    // the network does not resume before the process ends.
    agent_.stop();
    exit_(0);
    waitForSignal();
  });
}

}  // namespace torvo
