#include "kit/calendar.h"

#include <unicode/calendar.h>
#include <unicode/gregocal.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cmath>
#include <memory>
#include <stdexcept>

namespace torvo {

Calendar Calendar::current() {
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::detectHostTimeZone());
  icu::UnicodeString id;
  if (zone) zone->getID(id);
  std::string text;
  id.toUTF8String(text);
  if (text.empty() || text == "Etc/Unknown") text = "UTC";
  return Calendar{text};
}

std::int64_t Calendar::startOfDay(std::int64_t t) const {
  UErrorCode status = U_ZERO_ERROR;
  icu::TimeZone* zone = icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(timeZone));
  icu::GregorianCalendar calendar(zone, status);  // takes ownership of the zone
  if (U_FAILURE(status)) throw std::runtime_error("ICU calendar unavailable");
  // A skipped midnight moves to the first valid instant; a repeated one is its first pass.
  calendar.setSkippedWallTimeOption(UCAL_WALLTIME_NEXT_VALID);
  calendar.setRepeatedWallTimeOption(UCAL_WALLTIME_FIRST);
  calendar.setTime(static_cast<UDate>(t) * 1000.0, status);
  calendar.set(UCAL_HOUR_OF_DAY, 0);
  calendar.set(UCAL_MINUTE, 0);
  calendar.set(UCAL_SECOND, 0);
  calendar.set(UCAL_MILLISECOND, 0);
  const UDate start = calendar.getTime(status);
  if (U_FAILURE(status)) throw std::runtime_error("ICU calendar cannot compute the start of a day");
  return static_cast<std::int64_t>(std::floor(start / 1000.0));
}

}  // namespace torvo
