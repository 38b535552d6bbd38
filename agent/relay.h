// The agent's view of the relay. `RelayTransport` is the narrow interface the check-in cycle
// awaits (publish, poll, health), abstract so that it can be faked (tests/fakes/fake_relay.h);
// `NtfyRelay` is the real one over `NtfyClient`, running each HTTP request on a WorkerPool.
// Operations are awaited from coroutines on the agent's thread; the transport and the pool must
// outlive them. `httpDate` and `hasDefaultRoute` are pure and safe from any thread; so are the
// route checks, which only ask the kernel.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio.hpp>

#include "agent/worker_pool.h"
#include "kit/ntfy.h"
#include "kit/ntfy_client.h"

namespace torvo {

// Whether the relay answered its health request, and how far its clock is from ours.
struct RelayHealth {
  bool reachable = false;
  // The relay's clock minus ours, in whole seconds; absent when unreachable or undated.
  std::optional<std::int64_t> skew;

  bool operator==(const RelayHealth&) const = default;
};

class RelayTransport {
 public:
  virtual ~RelayTransport() = default;
  // Publishes one text; returns the relay's id of the new event when it gave one.
  // Throws NtfyError or TransportError.
  virtual asio::awaitable<std::optional<std::string>> publish(std::string text) = 0;
  // The message events since `since`, in order. Throws NtfyError or TransportError.
  virtual asio::awaitable<std::vector<NtfyEvent>> poll(NtfySince since) = 0;
  // Waits up to `wait` seconds for the network, then checks the relay; never throws.
  virtual asio::awaitable<RelayHealth> health(double wait) = 0;
};

// The HTTP session of the relay the check-ins talk to, kept from one check-in to the next so
// that its open connection (and TLS session) is reused; a check-in with another relay starts a
// new session. Used from the agent's thread only.
class RelaySessions {
 public:
  std::shared_ptr<const HttpSession> forRelay(const std::string& relay);

 private:
  std::string relay_;
  std::shared_ptr<const HttpSession> session_;
};

class NtfyRelay : public RelayTransport {
 public:
  // Wall-clock seconds since the Unix epoch, fraction kept.
  using Clock = std::function<double()>;

  static constexpr std::int64_t healthAttemptTimeout = 10;

  // What health checks depend on besides the relay; tests replace parts of it.
  struct Environment {
    Clock now = systemNow;
    // Whether the system has a usable network path to the relay right now; when empty, the
    // kernel's routes to the relay decide (`routeToRelay`).
    std::function<bool()> pathUsable;
    // Seconds between two health attempts.
    double attemptSpacing = 5;
  };

  // A client for `relay` and `topic` on `session`, which keeps its connections to the relay
  // open across the NtfyRelays made with it; a fresh session when none is given.
  NtfyRelay(std::string relay, std::string topic, WorkerPool& workers,
            std::shared_ptr<const HttpSession> session = nullptr);
  NtfyRelay(std::string relay, std::string topic, WorkerPool& workers, Environment environment,
            std::shared_ptr<const HttpSession> session = nullptr);

  asio::awaitable<std::optional<std::string>> publish(std::string text) override;
  asio::awaitable<std::vector<NtfyEvent>> poll(NtfySince since) override;
  asio::awaitable<RelayHealth> health(double wait) override;

  const NtfyClient& client() const { return client_; }

  static double systemNow();

  // An HTTP date in the fixed format "Sun, 06 Nov 1994 08:49:37 GMT" to Unix seconds; any
  // other text (another format, another zone, an impossible date) gives nothing.
  static std::optional<std::int64_t> httpDate(std::string_view text);

  // Returns true once `pathUsable` says so (checked every quarter second), or false when
  // `deadline` (Unix seconds on `now`) has passed first. Always returns by the deadline.
  static asio::awaitable<bool> waitForPath(double deadline, Clock now = systemNow,
                                           std::function<bool()> pathUsable = kernelHasDefaultRoute);

  // True when one of the kernel's routing tables (the texts of /proc/net/route and
  // /proc/net/ipv6_route) holds a default route that is up and not a reject route.
  static bool hasDefaultRoute(std::string_view ipv4Table, std::string_view ipv6Table);
  // `hasDefaultRoute` of the running kernel's tables.
  static bool kernelHasDefaultRoute();

  // The network-path check for the relay at URL `relay`. When the relay's addresses are known
  // without a name server (the host is an address, "localhost" or a name in `hostsFile`, read
  // once here), the path is usable while the kernel has a route to one of them, so a relay on
  // the local network or loopback needs no default route; a host only a name server can
  // resolve needs a default route, as the name server usually lies beyond it. The check never
  // blocks: it asks the kernel with a UDP socket that is connected and closed, sending nothing.
  static std::function<bool()> routeToRelay(const std::string& relay,
                                            const std::string& hostsFile = "/etc/hosts");

 private:
  NtfyClient client_;
  WorkerPool* workers_;
  Environment environment_;
};

}  // namespace torvo
