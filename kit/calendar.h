// The calendar that check-in times and "HH:mm" texts are computed in: a time zone by its
// IANA identifier. A plain value; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace torvo {

struct Calendar {
  std::string timeZone;  // for example "Europe/Berlin" or "UTC"

  // The system's current time zone (honours $TZ).
  static Calendar current();

  // The first instant of the local day that contains `t` (local midnight, or the first
  // instant after it on a day whose midnight the clocks skip). An unknown zone reads as UTC.
  // Defined for times within ICU's calendar range (hundreds of thousands of years).
  std::int64_t startOfDay(std::int64_t t) const;

  bool operator==(const Calendar&) const = default;
};

}  // namespace torvo
