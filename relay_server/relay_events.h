// RelayEvents: the events torvo-relay keeps per topic (12 hours, in memory) and the NDJSON lines
// it answers with. Not thread-safe: the relay server calls it from its one I/O thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <variant>

namespace torvo {

// Where a poll or stream starts: every kept event, none, the first at or after a Unix second,
// or the events after an id (all of them when the id is unknown).
struct SinceAll {};
struct SinceNone {};
struct SinceTime {
  std::int64_t seconds;
};
struct SinceId {
  std::string id;
};
using RelaySince = std::variant<SinceAll, SinceNone, SinceTime, SinceId>;

// The `since=` value "all", "none", a Unix second or a 12-character event id.
std::optional<RelaySince> parseRelaySince(const std::string& text);

class RelayEvents {
 public:
  static constexpr std::int64_t keepSeconds = 12 * 60 * 60;

  // `now` gives Unix seconds; the system clock when empty.
  explicit RelayEvents(std::function<std::int64_t()> now);

  // Keeps `message` on `topic` and returns its message line.
  std::string publish(const std::string& topic, std::string message);
  // The message lines of the kept events of `topic` that `since` selects.
  std::string selectedLines(const std::string& topic, const RelaySince& since);
  // The message lines of the events of `topic` kept after `sequence`.
  std::string linesAfter(const std::string& topic, std::uint64_t sequence) const;
  // An "open" or "keepalive" line.
  std::string bookkeepingLine(const std::string& topic, const char* kind);
  // The sequence number of the last event kept on any topic.
  std::uint64_t lastSequence() const { return lastSequence_; }

 private:
  struct Stored {
    std::uint64_t sequence;
    std::string id;
    std::int64_t time;
    std::int64_t expires;
    std::string message;
  };

  std::int64_t now() const;
  std::string newId();
  void pruneExpired();
  static std::string messageLine(const std::string& topic, const Stored& event);

  std::function<std::int64_t()> now_;
  std::uint64_t lastSequence_ = 0;
  std::map<std::string, std::deque<Stored>> topics_;
  std::mt19937_64 random_{std::random_device{}()};
};

}  // namespace torvo
