#include "agent/relay.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "kit/url.h"

namespace torvo {
namespace {

std::string readAll(const char* path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<unsigned long> hexNumber(const std::string& text) {
  if (text.empty() || text.size() > 16) return std::nullopt;
  std::size_t used = 0;
  try {
    const auto value = std::stoul(text, &used, 16);
    if (used != text.size()) return std::nullopt;
    return value;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

constexpr unsigned long routeUp = 0x0001;
constexpr unsigned long routeReject = 0x0200;

bool ipv4Default(std::string_view table) {
  std::istringstream lines{std::string(table)};
  std::string line;
  std::getline(lines, line);  // column names
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string iface, destination, gateway, flags, refs, use, metric, mask;
    if (!(fields >> iface >> destination >> gateway >> flags >> refs >> use >> metric >> mask)) {
      continue;
    }
    const auto flagBits = hexNumber(flags);
    if (destination == "00000000" && mask == "00000000" && flagBits &&
        (*flagBits & routeUp) != 0 && (*flagBits & routeReject) == 0) {
      return true;
    }
  }
  return false;
}

bool ipv6Default(std::string_view table) {
  std::istringstream lines{std::string(table)};
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string destination, prefix, source, sourcePrefix, nextHop, metric, refs, use, flags, iface;
    if (!(fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >> refs >>
          use >> flags >> iface)) {
      continue;
    }
    const auto flagBits = hexNumber(flags);
    if (destination == std::string(32, '0') && prefix == "00" && iface != "lo" && flagBits &&
        (*flagBits & routeUp) != 0 && (*flagBits & routeReject) == 0) {
      return true;
    }
  }
  return false;
}

std::optional<int> twoDigits(std::string_view text) {
  if (text.size() != 2 || !std::isdigit(static_cast<unsigned char>(text[0])) ||
      !std::isdigit(static_cast<unsigned char>(text[1]))) {
    return std::nullopt;
  }
  return (text[0] - '0') * 10 + (text[1] - '0');
}

// One address of the relay as the kernel takes it.
struct Address {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

// `host` when it is an IPv4 or IPv6 address, read without any lookup.
std::optional<Address> numericAddress(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return std::nullopt;
  Address address;
  if (found != nullptr && found->ai_addrlen <= sizeof address.storage) {
    std::memcpy(&address.storage, found->ai_addr, found->ai_addrlen);
    address.length = found->ai_addrlen;
  }
  ::freeaddrinfo(found);
  if (address.length == 0) return std::nullopt;
  return address;
}

std::string lowerCase(std::string text) {
  std::ranges::transform(text, text.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The addresses of `host` that are known without a name server: the host itself when it is an
// address, loopback for "localhost" and names under it, else the hosts file's entries for it.
// Empty when only a name server could tell.
std::vector<Address> knownAddresses(std::string host, const std::string& port,
                                    const std::string& hostsFile) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (const auto address = numericAddress(host, port)) return {*address};
  host = lowerCase(host);
  if (host.ends_with('.')) host.pop_back();
  std::vector<Address> addresses;
  if (host == "localhost" || host.ends_with(".localhost")) {
    for (const char* loopback : {"127.0.0.1", "::1"}) {
      if (const auto address = numericAddress(loopback, port)) addresses.push_back(*address);
    }
    return addresses;
  }
  std::ifstream hosts(hostsFile);
  std::string line;
  while (std::getline(hosts, line)) {
    line = line.substr(0, line.find('#'));
    std::istringstream fields(line);
    std::string address;
    std::string name;
    if (!(fields >> address)) continue;
    while (fields >> name) {
      if (lowerCase(name) != host) continue;
      if (const auto known = numericAddress(address, port)) addresses.push_back(*known);
      break;
    }
  }
  return addresses;
}

// Whether the kernel has a route to `address`: connecting a UDP socket picks the route and
// sends nothing.
bool kernelRoutesTo(const Address& address) {
  const int fd = ::socket(address.storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool routed =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0;
  ::close(fd);
  return routed;
}

// Sleeps on the steady clock; false when the sleep was cancelled.
asio::awaitable<bool> sleepFor(double seconds) {
  asio::steady_timer timer(co_await asio::this_coro::executor,
                           std::chrono::duration_cast<asio::steady_timer::duration>(
                               std::chrono::duration<double>(std::max(0.0, seconds))));
  asio::error_code error;
  co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, error));
  co_return !error;
}

}  // namespace

NtfyRelay::NtfyRelay(std::string relay, std::string topic, WorkerPool& workers,
                     std::shared_ptr<const HttpSession> session)
    : NtfyRelay(std::move(relay), std::move(topic), workers, Environment{}, std::move(session)) {}

NtfyRelay::NtfyRelay(std::string relay, std::string topic, WorkerPool& workers,
                     Environment environment, std::shared_ptr<const HttpSession> session)
    : client_(std::move(relay), std::move(topic),
              session ? std::move(session) : std::make_shared<const HttpSession>()),
      workers_(&workers),
      environment_(std::move(environment)) {
  if (!environment_.pathUsable) environment_.pathUsable = routeToRelay(client_.relay());
}

std::shared_ptr<const HttpSession> RelaySessions::forRelay(const std::string& relay) {
  if (!session_ || relay != relay_) {
    session_ = std::make_shared<const HttpSession>();
    relay_ = relay;
  }
  return session_;
}

double NtfyRelay::systemNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The coroutines below build every awaited operation in a statement of its own: g++ 12
// destroys temporaries with destructors inside a co_await expression twice.

asio::awaitable<std::optional<std::string>> NtfyRelay::publish(std::string text) {
  auto operation = workers_->run(
      [client = client_, text = std::move(text)](const HttpCancel& cancel) {
        return client.publish(text, cancel);
      });
  co_return co_await std::move(operation);
}

asio::awaitable<std::vector<NtfyEvent>> NtfyRelay::poll(NtfySince since) {
  auto operation = workers_->run(
      [client = client_, since = std::move(since)](const HttpCancel& cancel) {
        return client.poll(since, cancel);
      });
  co_return co_await std::move(operation);
}

asio::awaitable<RelayHealth> NtfyRelay::health(double wait) {
  const auto& now = environment_.now;
  const double deadline = now() + wait;
  auto pathWait = waitForPath(deadline, now, environment_.pathUsable);
  co_await std::move(pathWait);
  HttpRequest request;
  request.url = Ntfy::appendPath(client_.relay(), {"v1", "health"});
  request.timeoutSeconds = healthAttemptTimeout;
  while (true) {
    std::optional<HttpResponse> answer;
    try {
      auto attempt = workers_->run(
          [session = client_.session(), request](const HttpCancel& cancel) {
            return session->send(request, cancel, false);
          });
      answer = co_await std::move(attempt);
    } catch (const std::exception&) {
      // Any transport failure is one failed attempt.
    }
    if (answer && answer->status >= 200 && answer->status <= 299) {
      RelayHealth health{.reachable = true, .skew = std::nullopt};
      if (const auto date = answer->header("Date")) {
        if (const auto instant = httpDate(*date)) {
          health.skew = std::llround(static_cast<double>(*instant) - now());
        }
      }
      co_return health;
    }
    if (now() >= deadline) co_return RelayHealth{};
    if (!co_await sleepFor(environment_.attemptSpacing)) co_return RelayHealth{};
    if (now() >= deadline) co_return RelayHealth{};
  }
}

std::optional<std::int64_t> NtfyRelay::httpDate(std::string_view text) {
  static constexpr std::array<std::string_view, 7> days = {"Mon", "Tue", "Wed", "Thu",
                                                           "Fri", "Sat", "Sun"};
  static constexpr std::array<std::string_view, 12> months = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  // "Sun, 06 Nov 1994 08:49:37 GMT"
  if (text.size() != 29 || text.substr(3, 2) != ", " || text[7] != ' ' || text[11] != ' ' ||
      text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.substr(25) != " GMT") {
    return std::nullopt;
  }
  if (std::find(days.begin(), days.end(), text.substr(0, 3)) == days.end()) return std::nullopt;
  const auto month = std::find(months.begin(), months.end(), text.substr(8, 3));
  if (month == months.end()) return std::nullopt;
  const auto day = twoDigits(text.substr(5, 2));
  const auto century = twoDigits(text.substr(12, 2));
  const auto yearInCentury = twoDigits(text.substr(14, 2));
  const auto hour = twoDigits(text.substr(17, 2));
  const auto minute = twoDigits(text.substr(20, 2));
  const auto second = twoDigits(text.substr(23, 2));
  if (!day || !century || !yearInCentury || !hour || !minute || !second || *hour > 23 ||
      *minute > 59 || *second > 59) {
    return std::nullopt;
  }
  const std::chrono::year_month_day date{
      std::chrono::year(*century * 100 + *yearInCentury),
      std::chrono::month(static_cast<unsigned>(month - months.begin() + 1)),
      std::chrono::day(static_cast<unsigned>(*day))};
  if (!date.ok()) return std::nullopt;
  const auto days_ = std::chrono::sys_days(date).time_since_epoch().count();
  return static_cast<std::int64_t>(days_) * 86400 + *hour * 3600 + *minute * 60 + *second;
}

asio::awaitable<bool> NtfyRelay::waitForPath(double deadline, Clock now,
                                             std::function<bool()> pathUsable) {
  static constexpr double checkEvery = 0.25;
  while (true) {
    if (pathUsable()) co_return true;
    const double left = deadline - now();
    if (left <= 0) co_return false;
    if (!co_await sleepFor(std::min(left, checkEvery))) co_return false;
  }
}

bool NtfyRelay::hasDefaultRoute(std::string_view ipv4Table, std::string_view ipv6Table) {
  return ipv4Default(ipv4Table) || ipv6Default(ipv6Table);
}

bool NtfyRelay::kernelHasDefaultRoute() {
  return hasDefaultRoute(readAll("/proc/net/route"), readAll("/proc/net/ipv6_route"));
}

std::function<bool()> NtfyRelay::routeToRelay(const std::string& relay,
                                               const std::string& hostsFile) {
  const auto url = Url::parse(relay);
  if (!url || !url->host) return kernelHasDefaultRoute;
  std::string port = url->port;
  if (port.empty()) port = lowerCase(url->scheme) == "https" ? "443" : "80";
  auto addresses = knownAddresses(*url->host, port, hostsFile);
  if (addresses.empty()) return kernelHasDefaultRoute;
  return [addresses = std::move(addresses)] {
    return std::ranges::any_of(addresses, kernelRoutesTo);
  };
}

}  // namespace torvo
