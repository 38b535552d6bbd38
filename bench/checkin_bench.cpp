// Check-ins against a loopback torvo-relay with the real NtfyRelay: what a phone waits for
// between the agent's trigger and its last publish, and how a check-in's cost grows with the
// events of one poll and the number of paired phones. Phone messages are sealed with the
// phones' own keys, so the engine really opens each one.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "bench/bench_rig.h"

namespace torvo::bench {
namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU seconds of the calling thread: the agent's own work in a check-in, without the relay's
// threads and the HTTP transfers on the worker pool, and steady when other processes load the
// machine.
double threadCPU() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// An app check-in (health asked, report forced) with 10 confirmed phones, one of which sent a
// Wake: one acknowledgement and ten sealed reports. Timed from the trigger to the end of the
// last publish; "whole_ms" adds the state save that follows; "agent_cpu_ms" is the agent
// thread's CPU time in the check-in; "connections" the connections its requests opened.
void BM_CheckInTenPhones(benchmark::State& state) {
  BenchRig rig(10);
  rig.checkIn(Trigger::launch);
  std::size_t sender = 0;
  double whole = 0;
  double cpu = 0;
  const std::uint64_t connectionsBefore = rig.connectionsOpened();
  for (auto _ : state) {
    rig.publishFromPhone(sender, BenchRig::wakeCommand(2));
    sender = (sender + 1) % rig.phones().size();
    const std::size_t before = rig.publishes();
    const double cpuStart = threadCPU();
    const Clock::time_point start = Clock::now();
    rig.checkIn(Trigger::app);
    const Clock::time_point end = Clock::now();
    cpu += threadCPU() - cpuStart;
    if (rig.publishes() != before + 11) {
      state.SkipWithError("the check-in did not send one ack and ten reports");
      break;
    }
    state.SetIterationTime(seconds(rig.lastPublish() - start));
    whole += seconds(end - start);
  }
  state.counters["whole_ms"] = benchmark::Counter(whole * 1000, benchmark::Counter::kAvgIterations);
  state.counters["agent_cpu_ms"] = benchmark::Counter(cpu * 1000, benchmark::Counter::kAvgIterations);
  state.counters["connections"] = benchmark::Counter(
      static_cast<double>(rig.connectionsOpened() - connectionsBefore), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_CheckInTenPhones)->UseManualTime()->Unit(benchmark::kMillisecond);

// A timer check-in (relay known reachable) whose poll brings `events` status commands from
// `devices` phones in turn: every command is opened, answered with its own acknowledgement,
// and one report goes to every phone. Timed from the trigger to the end of the check-in;
// "agent_cpu_ms" is the agent thread's CPU time in the check-in.
void BM_CheckInEvents(benchmark::State& state) {
  const auto events = static_cast<std::size_t>(state.range(0));
  const auto devices = static_cast<int>(state.range(1));
  BenchRig rig(devices);
  rig.checkIn(Trigger::launch);
  double cpu = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i < events; ++i) rig.publishFromPhone(i % rig.phones().size(), BenchRig::statusCommand());
    const std::size_t before = rig.publishes();
    const double cpuStart = threadCPU();
    const Clock::time_point start = Clock::now();
    rig.checkIn(Trigger::timer);
    const Clock::time_point end = Clock::now();
    cpu += threadCPU() - cpuStart;
    if (rig.publishes() != before + events + rig.phones().size()) {
      state.SkipWithError("the check-in did not answer every event and report to every phone");
      break;
    }
    state.SetIterationTime(seconds(end - start));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * events));
  state.counters["agent_cpu_ms"] = benchmark::Counter(cpu * 1000, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_CheckInEvents)
    ->ArgNames({"events", "devices"})
    ->ArgsProduct({{1, 10, 200}, {1, 10}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace torvo::bench
