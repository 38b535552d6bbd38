#include "app_socket/peer_policy.h"

#include <filesystem>
#include <memory>

namespace torvo {

namespace {

std::string normalised(const std::string& path) {
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
  if (error) resolved = std::filesystem::path(path);
  std::string text = resolved.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace

PeerPolicy::Decision PeerPolicy::allows(const PeerIdentity& identity) const {
  return allows(identity, torvo::consoleUID);
}

PeerPolicy::Decision PeerPolicy::allowsUser(std::uint32_t peerUID,
                                            const ConsoleLookup& console) const {
  if (const auto* exactly = std::get_if<Exactly>(&uid)) {
    if (peerUID != exactly->uid) return {false, "wrong user"};
  } else {
    // With nobody at the screen (a server, or only the login screen) root stands in for the
    // console user, so that an administrator can use the agent with sudo; root can change the
    // agent's files anyway.
    const auto consoleUser = console();
    const bool headlessRoot = !consoleUser && peerUID == 0;
    if (!headlessRoot && (!consoleUser || *consoleUser != peerUID)) {
      return {false, "not the console user"};
    }
  }
  return {true, "ok"};
}

PeerPolicy::Decision PeerPolicy::allows(const PeerIdentity& identity,
                                        const ConsoleLookup& console) const {
  if (auto user = allowsUser(identity.uid, console); !user.allowed) return user;
  if (requirement && !identity.signatureOK) return {false, "code signature doesn't match"};
  if (allowedPath && !(identity.path && samePath(*identity.path, *allowedPath))) {
    return {false, "not the installed app"};
  }
  return {true, "ok"};
}

bool PeerPolicy::samePath(const std::string& a, const std::string& b) {
  return normalised(a) == normalised(b);
}

}  // namespace torvo
