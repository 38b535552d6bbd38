// torvo-agent: the service's executable. Parses the command line, refuses to start where it
// must, builds paths, log, power, system settings and peer policy, creates the agent and
// hands the main thread to the run loop.
#include <sys/stat.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/agent_log.h"
#include "core/command_line.h"
#include "core/file_store.h"
#include "core/paths.h"
#include "core/product.h"

using namespace torvo;

namespace {

using Category = AgentLog::Category;

// Stand-in for the agent until the check-in cycle exists: it prepares the data and log
// directories and refuses to start on any persisted file it cannot trust, as the real agent
// does before it decodes them. It runs no check-ins.
class AgentStandIn {
 public:
  AgentStandIn(const AgentPaths& paths) {
    const FileStore store(paths.ownerUID);
    store.ensureDirectory(paths.dataDir, 0755);
    store.ensureDirectory(paths.logDir, 0755);
    for (const auto& file : {paths.devices(), paths.config(), paths.state(), paths.backup()}) {
      store.read(file);
    }
  }
};

std::string describe(const std::exception& error) { return error.what(); }

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
  if (args.simulate) {
    if (!args.home) fail("--simulate needs --home <dir>");
    if (::getuid() == 0) fail("--simulate runs as a normal user, not root");
    paths = AgentPaths::simulate(*args.home);
    std::error_code ignored;
    std::filesystem::create_directories(paths.logDir, ignored);
    log = std::make_unique<AgentLog>(paths.log(), true);
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
    // The executable carries no maker's signature on this platform.
    log->info(Category::agent, "starting " + std::string(Product::version) +
                                   " (dev build: identifier + path check)");
  }

  const AgentOptions options = makeOptions(args, Calendar::current());

  // 6. The agent.
  std::unique_ptr<AgentStandIn> agent;
  try {
    agent = std::make_unique<AgentStandIn>(paths);
  } catch (const std::exception& error) {
    log->error(Category::agent, "refusing to start: " + describe(error));
    fail("refusing to start: " + describe(error));
  }

  // 8. The run loop: SIGTERM and SIGINT stop the process with status 0.
  asio::io_context loop;
  asio::signal_set signals(loop, SIGINT, SIGTERM);
  signals.async_wait([&](const std::error_code& error, int) {
    if (error) return;
    log->info(Category::agent, "stopping");
    loop.stop();
  });
  loop.run();
  return 0;
}
