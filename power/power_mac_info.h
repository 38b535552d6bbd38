// MacInfo: stateless readers of the computer's facts (battery and charger, name) over the
// platform operations, with the safe answers that missing or malformed data gives. Safe from
// any thread as long as the platform is.
#pragma once

#include <string>

#include "power/power.h"
#include "power/power_platform.h"

namespace torvo::MacInfo {

// Battery percentage, charging and charger facts of the first internal battery. No snapshot,
// no sources or no internal battery: battery absent, not charging, on charger.
PowerSource powerSource(const PowerPlatform& platform);

// The computer name, else the host's name, else "Mac".
std::string computerName(const PowerPlatform& platform);

}  // namespace torvo::MacInfo
