// The command line of torvo-relay: `[--listen HOST:PORT] [--keepalive SECONDS] [--max-streams N]
// [--phone-dir DIR]`, read into the
// relay server's options. Pure functions, safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "relay_server/relay_server.h"

namespace torvo::RelayServerOptions {

inline constexpr std::string_view usage =
    "usage: torvo-relay [--listen HOST:PORT] [--keepalive SECONDS] [--max-streams N]\n"
    "                   [--phone-dir DIR]";

// What --help prints after the usage line.
inline constexpr std::string_view help =
    "A small relay of the ntfy kind for a local network and for tests: publish (POST /TOPIC),\n"
    "poll and stream (GET /TOPIC/json), health (GET /v1/health), CORS for browsers. Events\n"
    "stay in memory for 12 hours. Prints \"listening on http://HOST:PORT\" once bound and serves until SIGINT or\n"
    "SIGTERM.\n"
    "  --listen HOST:PORT   the address to serve (default 127.0.0.1:0; port 0 picks a free\n"
    "                       port; an IPv6 host in brackets)\n"
    "  --keepalive SECONDS  seconds between keep-alive events on open streams (default 45)\n"
    "  --max-streams N      streams open at once; one more is refused with 429 (default 4096)\n"
    "  --phone-dir DIR      serve the phone web app in DIR: GET /phone/ is DIR/index.html,\n"
    "                       /phone/PATH a file under DIR (no dot files, nothing outside DIR);\n"
    "                       every /phone/ path is then the web app, so the topic \"phone\"\n"
    "                       cannot be used\n"
    "  --help               print this text\n";

// Whether the arguments ask for the help text ("--help" or "-h" anywhere).
bool wantsHelp(const std::vector<std::string>& args);

// The options for these arguments (without the program name), or nothing when they are not
// understood. HOST may be an IPv6 address in brackets; PORT 0 picks a free port.
std::optional<RelayServer::Options> parse(const std::vector<std::string>& args);

// The host as it appears in a URL: IPv6 addresses in brackets.
std::string hostForURL(const std::string& host);

}  // namespace torvo::RelayServerOptions
