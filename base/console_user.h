// The console user: who sits at this computer's screen, as sd-login records it. The peer policy
// of the app socket and the login-items scan of the system setup both ask. Safe from any thread.
#pragma once

#include <cstdint>
#include <optional>

namespace torvo {

// The user of the active session on seat0, or nothing when no session is active or the
// active one is the login screen (a session of class "greeter").
std::optional<std::uint32_t> consoleUID();

}  // namespace torvo
