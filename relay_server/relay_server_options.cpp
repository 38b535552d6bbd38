#include "relay_server/relay_server_options.h"

#include <charconv>

namespace torvo::RelayServerOptions {
namespace {

std::optional<long> number(std::string_view text, long low, long high) {
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
      value > high) {
    return std::nullopt;
  }
  return value;
}

bool parseListen(std::string_view text, RelayServer::Options& options) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string_view host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const auto port = number(text.substr(colon + 1), 0, 65535);
  if (host.empty() || !port) return false;
  options.host = std::string(host);
  options.port = static_cast<int>(*port);
  return true;
}

}  // namespace

std::optional<RelayServer::Options> parse(const std::vector<std::string>& args) {
  RelayServer::Options options;
  for (std::size_t i = 0; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return std::nullopt;
    const auto& value = args[i + 1];
    if (args[i] == "--listen") {
      if (!parseListen(value, options)) return std::nullopt;
    } else if (args[i] == "--keepalive") {
      const auto seconds = number(value, 1, 24 * 60 * 60);
      if (!seconds) return std::nullopt;
      options.keepalive = *seconds;
    } else if (args[i] == "--max-streams") {
      const auto streams = number(value, 1, 1'000'000);
      if (!streams) return std::nullopt;
      options.maxStreams = static_cast<std::size_t>(*streams);
    } else if (args[i] == "--phone-dir") {
      if (value.empty()) return std::nullopt;
      options.phoneDir = value;
    } else {
      return std::nullopt;
    }
  }
  return options;
}

bool wantsHelp(const std::vector<std::string>& args) {
  for (const auto& arg : args) {
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

std::string hostForURL(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace torvo::RelayServerOptions
