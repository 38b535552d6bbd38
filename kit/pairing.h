// Pairing: the link that hands a phone the relay, topic, key identifier, key and the
// computer's name.
#pragma once

#include <string_view>

namespace torvo::Pairing {

// The relay used until another one is configured: a public relay of the ntfy kind.
inline constexpr std::string_view defaultRelay = "https://ntfy.sh";

}  // namespace torvo::Pairing
