// The desktop app's view of the agent: one getStatus request over a new connection to the
// app socket each time, from one client thread, with the agent (10 paired phones) serving the
// socket on its own thread as it does in the service.
#include <benchmark/benchmark.h>

#include <memory>
#include <thread>
#include <unistd.h>

#include "app_socket/agent_client.h"
#include "app_socket/peer_policy.h"
#include "app_socket/socket_server.h"
#include "base/paths.h"
#include "bench/bench_rig.h"

namespace torvo::bench {
namespace {

void BM_SocketGetStatus(benchmark::State& state) {
  BenchRig rig(10);
  rig.checkIn(Trigger::launch);
  const std::filesystem::path path = AgentPaths::simulate(rig.home()).socket;

  asio::io_context& io = rig.io();
  io.restart();
  auto keepRunning = asio::make_work_guard(io);
  std::thread runner([&io] { io.run(); });

  std::unique_ptr<SocketServer> server;
  PeerPolicy policy;
  policy.uid = PeerPolicy::Exactly{::getuid()};
  Agent& agent = rig.agent();
  AgentLog log(std::nullopt, false);
  auto start = asio::post(io, asio::use_future([&] {
    server = std::make_unique<SocketServer>(io.get_executor(), path, policy, log,
                                            [&agent](AppRequest request) { return agent.handle(std::move(request)); });
    server->start(0666);
  }));
  start.get();

  const AppRequest request{AppRequests::GetStatus{}};
  for (auto _ : state) {
    const AgentClient::Result result = AgentClient::blockingSend(request, path, 5);
    if (!result || !std::holds_alternative<AppResponses::Status>(result->value)) {
      state.SkipWithError("getStatus was not answered with a status");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());

  auto stop = asio::post(io, asio::use_future([&server] {
    server->stop();
    server.reset();
  }));
  stop.get();
  keepRunning.reset();
  runner.join();
}
BENCHMARK(BM_SocketGetStatus)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace torvo::bench
