// The console user: who sits at this computer's screen, as sd-login records it, and a user's
// account in the password database. The peer policy of the app socket, the login-items scan of
// the system setup and the Doctor ask. Safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace torvo {

// The user of the active session on seat0, or nothing when no session is active or the
// active one is the login screen (a session of class "greeter").
std::optional<std::uint32_t> consoleUID();

struct Account {
  std::string name;
  std::string home;
};

// The account of a user id, or nothing when the password database has none.
std::optional<Account> account(std::uint32_t uid);

}  // namespace torvo
