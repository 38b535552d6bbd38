#include "core/peer_policy.h"

#include <systemd/sd-login.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace torvo {

namespace {

struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};

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
  return allows(identity, consoleUID);
}

PeerPolicy::Decision PeerPolicy::allows(const PeerIdentity& identity,
                                        const ConsoleLookup& console) const {
  if (const auto* exactly = std::get_if<Exactly>(&uid)) {
    if (identity.uid != exactly->uid) return {false, "wrong user"};
  } else {
    const auto consoleUser = console();
    if (!consoleUser || *consoleUser != identity.uid) return {false, "not the console user"};
  }
  if (requirement && !identity.signatureOK) return {false, "code signature doesn't match"};
  if (allowedPath && !(identity.path && samePath(*identity.path, *allowedPath))) {
    return {false, "not the installed app"};
  }
  return {true, "ok"};
}

std::optional<std::uint32_t> PeerPolicy::consoleUID() {
  char* rawSession = nullptr;
  uid_t user = 0;
  if (sd_seat_get_active("seat0", &rawSession, &user) < 0) return std::nullopt;
  const std::unique_ptr<char, FreeDeleter> session(rawSession);
  if (session == nullptr) return std::nullopt;
  char* rawClass = nullptr;
  if (sd_session_get_class(session.get(), &rawClass) >= 0) {
    const std::unique_ptr<char, FreeDeleter> sessionClass(rawClass);
    if (sessionClass != nullptr && std::string_view(sessionClass.get()) == "greeter") {
      return std::nullopt;
    }
  }
  return user;
}

bool PeerPolicy::samePath(const std::string& a, const std::string& b) {
  return normalised(a) == normalised(b);
}

}  // namespace torvo
