// The agent's command line: parsing into Args, the printing options, the run options handed
// to the agent, and the refusal that ends the process with status 64. Called on the main
// thread during start-up only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kit/calendar.h"

namespace torvo {

struct Args {
  bool simulate = false;
  std::optional<std::string> home;
  std::optional<std::string> relay;
  std::int64_t pollSeconds = 30;
  std::optional<std::string> allowedClient;
  std::optional<std::string> simClient;
  std::optional<std::string> simPowerFile;

  bool operator==(const Args&) const = default;
};

// What the command line asks for besides running: print a text and exit 0.
struct PrintAndExit {
  std::string text;  // already ends with a line feed
  bool operator==(const PrintAndExit&) const = default;
};

// A refusal: the message given to `fail`.
struct Refusal {
  std::string message;
  bool operator==(const Refusal&) const = default;
};

using ParsedCommandLine = std::variant<Args, PrintAndExit, Refusal>;

// Reads the arguments after the program name, left to right. "--help" (or "-h") prints the
// usage, like "--version" at the moment it is reached.
ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The usage text "--help" prints, ending with a line feed.
std::string commandLineHelp();

// The run options handed to the agent.
struct AgentOptions {
  bool simulate = false;
  std::int64_t pollSeconds = 30;
  std::int64_t pairingPollSeconds = 2;
  std::string initialRelay;
  Calendar calendar;

  bool operator==(const AgentOptions&) const = default;
};

// The longest wait between check-ins simulate mode accepts: a day. The timer counts in
// nanoseconds, so a larger number of seconds would overflow it and the agent would spin.
inline constexpr std::int64_t maxPollSeconds = 86400;

// The options for these arguments: poll seconds (root service 30, simulate 2 to
// maxPollSeconds) and the initial relay (a valid "--relay" value or the default relay).
AgentOptions makeOptions(const Args& args, Calendar calendar);

// The "--relay" value when it parses as a URL whose scheme is exactly "http" or "https".
std::optional<std::string> validRelayURL(std::string_view text);

// The agent's clock: whole seconds since the Unix epoch, the fraction cut off.
std::int64_t systemNow();

// Writes "torvo-agent: <message>\n" to standard error and exits with status 64.
[[noreturn]] void fail(std::string_view message);

}  // namespace torvo
