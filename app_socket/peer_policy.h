// Who may talk to the agent over the local socket. PeerIdentity is what the server learns about
// a connecting process (see peer_identity.h); PeerPolicy decides from it, checking the user,
// then the code requirement, then the program path, and gives the reason of the first failure.
// The console-user rule accepts root while nobody is at the screen (a machine without a local
// session), so an administrator can reach the service with sudo.
// Plain values; `allows` and the static helpers are safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "base/console_user.h"

namespace torvo {

struct PeerIdentity {
  std::uint32_t uid = 0;
  std::int32_t pid = 0;
  std::optional<std::string> path;  // the peer's app bundle, or its program when not in one
  bool signatureOK = false;

  bool operator==(const PeerIdentity&) const = default;
};

struct PeerPolicy {
  struct Exactly {
    std::uint32_t uid = 0;
    bool operator==(const Exactly&) const = default;
  };
  struct ConsoleUser {
    bool operator==(const ConsoleUser&) const = default;
  };
  using UIDRule = std::variant<Exactly, ConsoleUser>;

  struct Decision {
    bool allowed = false;
    std::string reason;
    bool operator==(const Decision&) const = default;
  };

  // Where the console user comes from: consoleUID() (base/console_user.h) in the agent, a fake
  // in tests.
  using ConsoleLookup = std::function<std::optional<std::uint32_t>()>;

  UIDRule uid = ConsoleUser{};
  std::optional<std::string> requirement;
  std::optional<std::string> allowedPath;

  Decision allows(const PeerIdentity& identity) const;
  Decision allows(const PeerIdentity& identity, const ConsoleLookup& console) const;
  // The first of those checks alone, the user: "ok" or its refusal. A peer refused here is
  // refused by `allows` with the same reason, whatever else is known of it.
  Decision allowsUser(std::uint32_t peerUID, const ConsoleLookup& console) const;

  // Both paths name the same place once symbolic links, "." and ".." and trailing "/" are
  // resolved. A path that does not exist is compared in its lexical normal form.
  static bool samePath(const std::string& a, const std::string& b);

  // Whether the agent itself carries the product team's signature; Linux has no code
  // signatures, so never.
  static bool selfIsTeamSigned() { return false; }

  bool operator==(const PeerPolicy&) const = default;
};

}  // namespace torvo
