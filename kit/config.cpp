#include "kit/config.h"

#include <algorithm>
#include <limits>

#include "kit/messages.h"

namespace torvo {

AgentConfig::AgentConfig(std::int64_t checkInMinutes, std::int64_t awakeHoursDefault)
    : checkInMinutes_(clampCheckIn(checkInMinutes)), awakeHoursDefault_(clampAwakeHours(awakeHoursDefault)) {}

std::int64_t AgentConfig::clampCheckIn(std::int64_t minutes) {
  // Values outside the choices go to the nearest end; comparing first keeps the distance
  // arithmetic inside a small range, so no extreme value can overflow it.
  if (minutes <= checkInChoices.front()) return checkInChoices.front();
  if (minutes >= checkInChoices.back()) return checkInChoices.back();
  std::int64_t best = checkInChoices.front();
  for (const std::int64_t choice : checkInChoices) {
    const std::int64_t distance = choice > minutes ? choice - minutes : minutes - choice;
    const std::int64_t bestDistance = best > minutes ? best - minutes : minutes - best;
    if (distance < bestDistance) best = choice;
  }
  return best;
}

std::int64_t AgentConfig::clampAwakeHours(std::int64_t hours) {
  return std::clamp(hours, minAwakeHours, maxAwakeHours);
}

AgentConfig AgentConfig::applying(const ConfigChange& change) const {
  AgentConfig next = *this;
  if (change.checkInMinutes) next.setCheckInMinutes(*change.checkInMinutes);
  return next;
}

std::int64_t AgentConfig::nextCheckIn(std::int64_t after, const Calendar& calendar) const {
  // Counted in 128 bits and held at the end of the int64 range: a simulated clock may sit at
  // either end, and a slot past the last representable second is that second.
  constexpr __int128 lowest = std::numeric_limits<std::int64_t>::min();
  constexpr __int128 highest = std::numeric_limits<std::int64_t>::max();
  const __int128 interval = checkInMinutes_ * 60;
  const std::int64_t t =
      static_cast<std::int64_t>(std::clamp(static_cast<__int128>(after) + 90, lowest, highest));
  const __int128 dayStart = calendar.startOfDay(t);
  const __int128 elapsed = t - dayStart;
  // Rounded down also when negative: past the calendar's range its day start can lie after `t`.
  const __int128 slots = (elapsed >= 0 ? elapsed / interval : -((-elapsed + interval - 1) / interval)) + 1;
  return static_cast<std::int64_t>(std::clamp(dayStart + slots * interval, lowest, highest));
}

nlohmann::json AgentConfig::toJSON() const {
  return nlohmann::json{{"awakeHoursDefault", awakeHoursDefault_}, {"checkIn", checkInMinutes_}};
}

std::expected<AgentConfig, JSONDecodingError> AgentConfig::fromJSON(const nlohmann::json& json) {
  if (!json.is_object()) return std::unexpected(JSONDecodingError{});
  const auto hours = JSONFields::optionalInteger(json, "awakeHoursDefault");
  if (!hours) return std::unexpected(hours.error());
  const auto checkIn = JSONFields::optionalInteger(json, "checkIn");
  if (!checkIn) return std::unexpected(checkIn.error());
  return AgentConfig(checkIn->value_or(defaultCheckInMinutes), hours->value_or(defaultAwakeHours));
}

}  // namespace torvo
