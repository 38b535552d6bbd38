// ReplayGuard: refuses copies of accepted phone messages. It remembers the identifiers of the
// newest accepted messages and refuses timestamps outside a window around the current time
// that follows the check-in interval. Kept in the agent's state file under "replay". A plain
// value owned and mutated by the agent's single state owner; no locking of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "kit/json_fields.h"

namespace torvo {

class ReplayGuard {
 public:
  static constexpr std::size_t capacity = 200;
  static constexpr std::int64_t futureSkew = 300;  // seconds a timestamp may lie ahead

  // How far back a timestamp may lie: two check-in intervals plus five minutes, in seconds.
  // Saturates instead of overflowing for absurd intervals.
  static std::int64_t maxAge(std::int64_t checkIntervalMinutes);

  ReplayGuard() = default;
  // Keeps the newest `capacity` identifiers of `seen` (oldest first).
  explicit ReplayGuard(std::vector<std::string> seen);

  // True, and `id` recorded, when `ts` lies in [now - maxAge, now + futureSkew], `id` is not
  // empty and not seen before; otherwise false and the guard is unchanged.
  bool accept(std::string_view id, std::int64_t ts, std::int64_t now, std::int64_t checkIntervalMinutes);

  // Oldest first.
  const std::vector<std::string>& seen() const { return seen_; }

  // {"seen":[…]}, oldest first.
  nlohmann::json toJSON() const;
  // "seen" is required and must be an array of strings; the list is taken as stored, even
  // when longer than `capacity` (the next acceptance trims it).
  static std::expected<ReplayGuard, JSONDecodingError> fromJSON(const nlohmann::json& json);

  bool operator==(const ReplayGuard&) const = default;

 private:
  std::vector<std::string> seen_;
};

}  // namespace torvo
