// torvo-agent: the service's executable. Parses the command line, refuses to start where it
// must, builds paths, log, power, system settings and peer policy, creates the agent and
// hands the main thread to the run loop.
#include <sys/stat.h>
#include <unistd.h>

#include <systemd/sd-daemon.h>

#include <asio.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agent/agent.h"
#include "agent/command_line.h"
#include "agent/doorbell.h"
#include "agent/relay.h"
#include "agent/runtime.h"
#include "agent/worker_pool.h"
#include "app_socket/peer_policy.h"
#include "app_socket/socket_server.h"
#include "base/agent_log.h"
#include "base/file_store.h"
#include "base/paths.h"
#include "base/product.h"
#include "platform/linux/linux_system_settings.h"
#include "platform/linux/power_linux_platform.h"
#include "platform/linux/wake_clock.h"
#include "platform/linux/wake_notifications.h"
#include "power/power_system.h"
#include "power/simulated_power.h"
#if defined(__APPLE__)
#include "setup/real_system_settings.h"
#endif

using namespace torvo;

namespace {

using Category = AgentLog::Category;

std::string describe(const std::exception& error) { return error.what(); }

// A path from the command line made absolute before anything is created from it. An empty
// path, or a relative one while the working folder cannot be read, has no absolute form and
// is refused.
std::filesystem::path absolutePath(std::string_view option, const std::string& value) {
  if (value.empty()) fail(std::string(option) + " needs a path");
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(value, error);
  if (error) fail(std::string(option) + " " + value + ": " + error.message());
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  // 1. The command line; printing options end the process here.
  const ParsedCommandLine parsed =
      parseCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  if (const auto* print = std::get_if<PrintAndExit>(&parsed)) {
    std::fwrite(print->text.data(), 1, print->text.size(), stdout);
    std::fflush(stdout);
    return 0;
  }
  if (const auto* refusal = std::get_if<Refusal>(&parsed)) fail(refusal->message);
  const Args& args = std::get<Args>(parsed);

  // 2. Process settings.
  ::umask(022);
  std::signal(SIGPIPE, SIG_IGN);

  AgentPaths paths;
  std::unique_ptr<AgentLog> log;
  std::unique_ptr<PowerControl> power;
  SimulatedPower* simulated = nullptr;
  PeerPolicy policy;
  if (args.simulate) {
    if (!args.home || args.home->empty()) fail("--simulate needs --home <dir>");
    if (::getuid() == 0) fail("--simulate runs as a normal user, not root");
    paths = AgentPaths::simulate(absolutePath("--home", *args.home));
    std::optional<std::filesystem::path> powerFile;
    if (args.simPowerFile) powerFile = absolutePath("--sim-power-file", *args.simPowerFile);
    std::error_code ignored;
    std::filesystem::create_directories(paths.logDir, ignored);
    log = std::make_unique<AgentLog>(paths.log(), true);
    auto sim = std::make_unique<SimulatedPower>(log.get(), std::nullopt, std::nullopt, powerFile,
                                                LinuxPowerPlatform());
    simulated = sim.get();
    power = std::move(sim);
    // 8. Peer policy: this user; with --sim-client, that app with the development identifier.
    policy.uid = PeerPolicy::Exactly{::getuid()};
    if (args.simClient) {
      policy.requirement = Product::devClientRequirement();
      policy.allowedPath = *args.simClient;
    }
    log->info(Category::agent, "simulate mode: no power or system changes");
  } else {
    if (::getuid() != 0) fail("must run as root (it's a LaunchDaemon). For testing use --simulate.");
    if (!args.allowedClient || !args.allowedClient->ends_with(".app")) {
      fail("needs --allowed-client <path to the app>");
    }
    paths = AgentPaths::system();
    try {
      FileStore(0).ensureDirectory(paths.logDir, 0755);
    } catch (const std::exception&) {
      // The log then cannot write its file; the system log still gets every line.
    }
    log = std::make_unique<AgentLog>(paths.log(), false);
    power = std::make_unique<SystemPower>(*log, std::make_unique<LinuxPowerPlatform>());
    // Scheduled wakes need a clock that can wake the machine; without one the agent still
    // holds the machine awake and checks in while it is awake.
    if (const auto clock = WakeClock::probe(); !clock.canWake) {
      log->info(Category::power, "scheduled wakes cannot wake this machine from sleep: " + clock.reason);
    }
    // 8-9. Peer policy: the console user running the installed app.
    const bool teamSigned = PeerPolicy::selfIsTeamSigned();
    policy.uid = PeerPolicy::ConsoleUser{};
    policy.requirement =
        teamSigned ? Product::signedClientRequirement() : Product::devClientRequirement();
    policy.allowedPath = *args.allowedClient;
    log->info(Category::agent, "starting " + std::string(Product::version) + " (" +
                                   (teamSigned ? "Team ID signed" : "dev build: identifier + path check") +
                                   ")");
  }
  // 7. System settings: in simulate mode a dry run that only logs what it would run. On Linux
  // the setup's commands are carried out with ethtool, NetworkManager and apt in place of the
  // Mac's tools.
#if defined(__APPLE__)
  RealSystemSettings settings(*log, args.simulate);
#else
  LinuxSystemSettings settings(*log, args.simulate, LinuxSystemSettings::systemHost(paths.dataDir));
#endif

  const AgentOptions options = makeOptions(args, Calendar::current());
  Agent::Clock clock = systemNow;
  if (simulated != nullptr) {
    clock = [simulated] {
      // A power file may set any offset; the sum saturates instead of overflowing.
      const std::int64_t offset = simulated->clockOffset();
      std::int64_t now = 0;
      if (__builtin_add_overflow(systemNow(), offset, &now)) now = offset > 0 ? INT64_MAX : INT64_MIN;
      return now;
    };
  }

  // 6. The agent, on the thread that runs the io_context.
  asio::io_context io;
  WorkerPool workers(2);
  RelaySessions sessions;
  auto makeRelay = [&workers, &sessions](const std::string& relay, const std::string& topic) {
    return std::unique_ptr<RelayTransport>(
        std::make_unique<NtfyRelay>(relay, topic, workers, sessions.forRelay(relay)));
  };
  RelayDoorbell doorbell(io.get_executor(), *log);
  std::unique_ptr<Agent> agent;
  try {
    agent = std::make_unique<Agent>(io.get_executor(), paths, *power, settings, *log, options,
                                    makeRelay, clock, &doorbell);
  } catch (const std::exception& error) {
    log->error(Category::agent, "refusing to start: " + describe(error));
    fail("refusing to start: " + describe(error));
  }

  // 7. The app socket; access is decided by the peer policy, not by file permissions.
  Agent& handler = *agent;
  SocketServer server(io.get_executor(), paths.socket, policy, *log,
                      [&handler](AppRequest request) { return handler.handle(std::move(request)); });
  try {
    server.start(0666);
  } catch (const std::exception& error) {
    log->error(Category::agent, "couldn't open the app socket: " + describe(error));
    fail("couldn't open the app socket");
  }
  // Under systemd (Type=notify) the service counts as started once the socket listens; outside
  // systemd this does nothing.
  sd_notify(0, "READY=1");

  // 8. The runtime: wake notifications, the launch check-in, the timer loop and an orderly
  // stop on SIGTERM and SIGINT.
  Runtime runtime(io, *agent, *log, [&server] {
    sd_notify(0, "STOPPING=1");
    server.stop();
  }, [](int status) {
    std::fflush(nullptr);
    ::_exit(status);
  });
  // Wake notifications, root service only: every resume from suspend starts a check-in.
  std::unique_ptr<WakeNotifications> wakes;
  if (!args.simulate) {
    wakes = std::make_unique<WakeNotifications>(io, *log, [&runtime] { runtime.onWake(); });
    wakes->start();
  }
  runtime.start();
  io.run();
  return 0;
}
