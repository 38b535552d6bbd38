// torvo-relay: a small relay of the ntfy kind on the local network.
// Usage: torvo-relay [--listen HOST:PORT] [--keepalive SECONDS] [--max-streams N]
//                    [--phone-dir DIR] | --help
// Prints "listening on http://HOST:PORT" once bound, then serves until SIGINT or SIGTERM.

#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "relay_server/relay_server.h"
#include "relay_server/relay_server_options.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (torvo::RelayServerOptions::wantsHelp(args)) {
    std::cout << torvo::RelayServerOptions::usage << "\n\n" << torvo::RelayServerOptions::help;
    return 0;
  }
  const auto options = torvo::RelayServerOptions::parse(args);
  if (!options) {
    std::cerr << torvo::RelayServerOptions::usage << "\n";
    return 64;
  }

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);  // the server's threads inherit the mask
  std::signal(SIGPIPE, SIG_IGN);

  torvo::RelayServer server(*options);
  int port = 0;
  try {
    port = server.start();
  } catch (const std::exception& error) {
    std::cerr << "torvo-relay: " << error.what() << "\n";
    return 1;
  }
  std::cout << "listening on http://" << torvo::RelayServerOptions::hostForURL(options->host)
            << ":" << port << std::endl;

  int received = 0;
  sigwait(&stopSignals, &received);
  server.stop();
  return 0;
}
