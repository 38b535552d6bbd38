#include "kit/calendar.h"

#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <memory>

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

}  // namespace torvo
