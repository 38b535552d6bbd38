#include "base/console_user.h"

#include <pwd.h>
#include <unistd.h>

#include <systemd/sd-login.h>

#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

namespace torvo {
namespace {

struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};

}  // namespace

std::optional<std::uint32_t> consoleUID() {
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

std::optional<Account> account(std::uint32_t uid) {
  const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  return Account{found->pw_name, found->pw_dir == nullptr ? "" : found->pw_dir};
}

}  // namespace torvo
