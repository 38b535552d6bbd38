#include "agent/command_line.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "base/product.h"
#include "kit/pairing.h"
#include "setup/daemon_install.h"

namespace torvo {
namespace {

// A decimal integer with an optional sign, digits only, within the signed 64-bit range.
std::optional<std::int64_t> parseInt64(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulate as a negative number so that the minimum value fits.
  std::int64_t value = 0;
  constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value < (min + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == min) return std::nullopt;
    value = -value;
  }
  return value;
}

}  // namespace

std::string commandLineHelp() {
  return "usage: torvo-agent --allowed-client APP        the root service (APP: the desktop app's\n"
         "                                               bundle, e.g. /usr/lib/torvo/Torvo.app)\n"
         "       torvo-agent --simulate --home DIR [--relay URL] [--poll-seconds N]\n"
         "                   [--sim-client PATH] [--sim-power-file PATH]\n"
         "                                               as a normal user, changing nothing\n"
         "       torvo-agent --install-script APP | --uninstall-script\n"
         "       torvo-agent --version | --help\n"
         "\n"
         "Keeps this computer awake for the phones paired with it, through a relay of the ntfy\n"
         "kind. Options:\n"
         "  --allowed-client APP   the only app bundle that may use the local socket\n"
         "  --relay URL            the relay for new pairings (http or https)\n"
         "  --simulate             run as a normal user: power and system changes are only logged\n"
         "  --home DIR             simulate mode's folder: data/, logs/ and agent.sock\n"
         "  --poll-seconds N       seconds between check-ins in simulate mode (2 to 86400)\n"
         "  --sim-client PATH      the app that may connect in simulate mode\n"
         "  --sim-power-file PATH  a JSON file {\"clockOffset\": SECONDS} that shifts the clock\n"
         "  --install-script APP   print the macOS service install script for APP\n"
         "  --uninstall-script     print the macOS service uninstall script\n"
         "  --version              print the version\n"
         "Refusals print \"torvo-agent: <reason>\" and exit with status 64.\n";
}

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments) {
  Args args;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= arguments.size()) return std::nullopt;
      return arguments[++i];
    };
    auto missing = [&] { return Refusal{"missing value for " + option}; };

    if (option == "--simulate") {
      args.simulate = true;
    } else if (option == "--home") {
      if (!(args.home = value())) return missing();
    } else if (option == "--relay") {
      if (!(args.relay = value())) return missing();
    } else if (option == "--poll-seconds") {
      const auto text = value();
      if (!text) return missing();
      args.pollSeconds = parseInt64(*text).value_or(30);
    } else if (option == "--allowed-client") {
      if (!(args.allowedClient = value())) return missing();
    } else if (option == "--sim-client") {
      if (!(args.simClient = value())) return missing();
    } else if (option == "--sim-power-file") {
      if (!(args.simPowerFile = value())) return missing();
    } else if (option == "--version") {
      return PrintAndExit{std::string(Product::version) + "\n"};
    } else if (option == "--help" || option == "-h") {
      return PrintAndExit{commandLineHelp()};
    } else if (option == "--install-script") {
      const auto app = value();
      if (!app) return missing();
      return PrintAndExit{DaemonInstall::installScript(*app, *app + "/Contents/MacOS/torvo-agent") +
                          "\n"};
    } else if (option == "--uninstall-script") {
      return PrintAndExit{DaemonInstall::uninstallScript() + "\n"};
    } else {
      return Refusal{"unknown argument " + option};
    }
  }
  return args;
}

std::optional<std::string> validRelayURL(std::string_view text) {
  const bool schemeOK = text.starts_with("https://") || text.starts_with("http://");
  const bool clean = std::none_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f;
  });
  if (!schemeOK || !clean) return std::nullopt;

  CURLU* url = curl_url();
  if (url == nullptr) return std::nullopt;
  const std::string copy(text);
  bool ok = curl_url_set(url, CURLUPART_URL, copy.c_str(), 0) == CURLUE_OK;
  if (ok) {
    char* host = nullptr;
    ok = curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK && host != nullptr &&
         *host != '\0';
    curl_free(host);
  }
  curl_url_cleanup(url);
  if (!ok) return std::nullopt;
  return copy;
}

AgentOptions makeOptions(const Args& args, Calendar calendar) {
  AgentOptions options;
  options.simulate = args.simulate;
  options.pollSeconds =
      args.simulate ? std::clamp<std::int64_t>(args.pollSeconds, 2, maxPollSeconds) : 30;
  options.pairingPollSeconds = 2;
  options.initialRelay = std::string(Pairing::defaultRelay);
  if (args.relay) {
    if (auto relay = validRelayURL(*args.relay)) options.initialRelay = *relay;
  }
  options.calendar = std::move(calendar);
  return options;
}

std::int64_t systemNow() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

void fail(std::string_view message) {
  std::string line = "torvo-agent: ";
  line += message;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  std::exit(64);
}

}  // namespace torvo
