// Runtime: what makes check-ins happen once the agent exists. It starts the launch check-in
// and the endless timer loop, and turns SIGTERM and SIGINT into an orderly stop (log
// "stopping", stop the app socket, stop the agent, exit with status 0).
// Runs on the agent's thread: construct and start it there before running the io_context.
#pragma once

#include <functional>

#include <asio.hpp>

#include "agent/agent.h"
#include "base/agent_log.h"

namespace torvo {

class Runtime {
 public:
  // `stopServer` stops the app socket; `exit` ends the process (tests replace it).
  Runtime(asio::io_context& io, Agent& agent, AgentLog& log, std::function<void()> stopServer,
          std::function<void(int)> exit);

  // Registers the signal handlers and starts the launch check-in and the timer loop.
  void start();
  // Starts a check-in for a system power-on, without waiting for it.
  void onWake();

 private:
  asio::awaitable<void> loop();
  void waitForSignal();

  asio::io_context& io_;
  Agent& agent_;
  AgentLog& log_;
  std::function<void()> stopServer_;
  std::function<void(int)> exit_;
  asio::signal_set signals_;
};

}  // namespace torvo
