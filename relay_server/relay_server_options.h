// The command line of torvo-relay: `[--listen HOST:PORT] [--keepalive SECONDS]`, read into the
// relay server's options. Pure functions, safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "relay_server/relay_server.h"

namespace torvo::RelayServerOptions {

inline constexpr std::string_view usage =
    "usage: torvo-relay [--listen HOST:PORT] [--keepalive SECONDS]";

// The options for these arguments (without the program name), or nothing when they are not
// understood. HOST may be an IPv6 address in brackets; PORT 0 picks a free port.
std::optional<RelayServer::Options> parse(const std::vector<std::string>& args);

// The host as it appears in a URL: IPv6 addresses in brackets.
std::string hostForURL(const std::string& host);

}  // namespace torvo::RelayServerOptions
