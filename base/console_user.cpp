#include "base/console_user.h"

#include <systemd/sd-login.h>

#include <cstdlib>
#include <memory>
#include <string_view>

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

}  // namespace torvo
