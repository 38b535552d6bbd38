// Logind: the calls to systemd-logind on the system bus that the Linux power platform needs.
// Each call opens its own bus connection (honouring $DBUS_SYSTEM_BUS_ADDRESS) and closes it,
// with a 5-second limit per method call; a missing bus or logind is an error value, never an
// exception. Safe from any thread.
#pragma once

#include <expected>
#include <string>

namespace torvo::Logind {

// Takes an inhibitor lock (Inhibit(what, who, why, mode)). The returned file descriptor is
// the caller's and holds the lock until it is closed. Error: a negative errno value.
std::expected<int, int> inhibit(const std::string& what, const std::string& who,
                                const std::string& why, const std::string& mode);

// Marks the active session of seat0, the console, as not idle (SetIdleHint(false)).
// Returns 0, or a negative errno value (-ENOENT when no session is active there).
int markConsoleActive();

}  // namespace torvo::Logind
