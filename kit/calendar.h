// The calendar that check-in times and "HH:mm" texts are computed in: a time zone by its
// IANA identifier. A plain value; safe from any thread.
#pragma once

#include <string>

namespace torvo {

struct Calendar {
  std::string timeZone;  // for example "Europe/Berlin" or "UTC"

  // The system's current time zone (honours $TZ).
  static Calendar current();

  bool operator==(const Calendar&) const = default;
};

}  // namespace torvo
