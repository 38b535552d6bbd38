#include "kit/config.h"

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
  const std::int64_t interval = checkInMinutes_ * 60;
  const std::int64_t t = after + 90;
  const std::int64_t dayStart = calendar.startOfDay(t);
  const std::int64_t elapsed = t - dayStart;
  const std::int64_t slots = elapsed / interval + 1;
  return dayStart + slots * interval;
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
