#include "kit/replay_guard.h"

#include <algorithm>
#include <limits>

namespace torvo {
namespace {

constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64Min = std::numeric_limits<std::int64_t>::min();

std::int64_t saturate(__int128 v) {
  if (v > int64Max) return int64Max;
  if (v < int64Min) return int64Min;
  return static_cast<std::int64_t>(v);
}

}  // namespace

std::int64_t ReplayGuard::maxAge(std::int64_t checkIntervalMinutes) {
  return saturate(static_cast<__int128>(checkIntervalMinutes) * 120 + 300);
}

ReplayGuard::ReplayGuard(std::vector<std::string> seen) : seen_(std::move(seen)) {
  if (seen_.size() > capacity) seen_.erase(seen_.begin(), seen_.end() - capacity);
}

bool ReplayGuard::accept(std::string_view id, std::int64_t ts, std::int64_t now, std::int64_t checkIntervalMinutes) {
  // The window's ends are computed in 128 bits, so no time near the ends of the range wraps.
  const __int128 oldest = static_cast<__int128>(now) - maxAge(checkIntervalMinutes);
  const __int128 newest = static_cast<__int128>(now) + futureSkew;
  if (ts < oldest) return false;
  if (ts > newest) return false;
  if (id.empty()) return false;
  if (std::find(seen_.begin(), seen_.end(), id) != seen_.end()) return false;
  seen_.emplace_back(id);
  if (seen_.size() > capacity) seen_.erase(seen_.begin(), seen_.end() - capacity);
  return true;
}

nlohmann::json ReplayGuard::toJSON() const { return nlohmann::json{{"seen", seen_}}; }

std::expected<ReplayGuard, JSONDecodingError> ReplayGuard::fromJSON(const nlohmann::json& json) {
  const nlohmann::json& list = JSONFields::member(json, "seen");
  if (!list.is_array()) return std::unexpected(JSONDecodingError{"seen"});
  ReplayGuard guard;
  guard.seen_.reserve(list.size());
  for (const nlohmann::json& item : list) {
    if (!item.is_string()) return std::unexpected(JSONDecodingError{"seen"});
    guard.seen_.push_back(item.get<std::string>());
  }
  return guard;
}

}  // namespace torvo
