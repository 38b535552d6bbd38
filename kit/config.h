// AgentConfig: the computer's one setting that phones may change, the check-in interval, with
// the hours a Wake lasts when a phone does not say. Both fields are kept inside their allowed
// values by every constructor, setter, decoder and change. Its JSON form is part of every state
// report and of the agent's config file. A plain value: any thread may use its own copy.
#pragma once

#include <array>
#include <cstdint>
#include <expected>

#include <nlohmann/json.hpp>

#include "kit/calendar.h"
#include "kit/json_fields.h"

namespace torvo {

struct ConfigChange;

class AgentConfig {
 public:
  static constexpr std::array<std::int64_t, 3> checkInChoices{15, 30, 60};  // minutes
  static constexpr std::int64_t defaultCheckInMinutes = 15;
  static constexpr std::int64_t defaultAwakeHours = 3;
  static constexpr std::int64_t minAwakeHours = 1;   // awakeHoursRange, both ends included
  static constexpr std::int64_t maxAwakeHours = 24;

  AgentConfig() = default;
  // Both values are clamped.
  AgentConfig(std::int64_t checkInMinutes, std::int64_t awakeHoursDefault);

  std::int64_t checkInMinutes() const { return checkInMinutes_; }
  std::int64_t awakeHoursDefault() const { return awakeHoursDefault_; }
  void setCheckInMinutes(std::int64_t minutes) { checkInMinutes_ = clampCheckIn(minutes); }
  void setAwakeHoursDefault(std::int64_t hours) { awakeHoursDefault_ = clampAwakeHours(hours); }

  // The nearest check-in choice; on a tie the smaller one. Defined for every int64 value.
  static std::int64_t clampCheckIn(std::int64_t minutes);
  // `hours` limited to minAwakeHours...maxAwakeHours.
  static std::int64_t clampAwakeHours(std::int64_t hours);

  // The configuration after a phone's change: only the check-in interval can change, and only
  // when the change carries one.
  AgentConfig applying(const ConfigChange& change) const;

  // The first multiple of the interval, counted in elapsed seconds from local midnight in the
  // calendar's time zone, that lies strictly more than 90 seconds after `after`; the largest
  // int64 value when that lies beyond the range.
  std::int64_t nextCheckIn(std::int64_t after, const Calendar& calendar) const;

  // {"awakeHoursDefault":…,"checkIn":…}; both keys always written.
  nlohmann::json toJSON() const;
  // Missing or null keys take the defaults, values are clamped, other keys are ignored; a
  // value that is not an integer (or a document that is not an object) is an error.
  static std::expected<AgentConfig, JSONDecodingError> fromJSON(const nlohmann::json& json);

  bool operator==(const AgentConfig&) const = default;

 private:
  std::int64_t checkInMinutes_ = defaultCheckInMinutes;
  std::int64_t awakeHoursDefault_ = defaultAwakeHours;
};

}  // namespace torvo
