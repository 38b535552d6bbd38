// The relay's vocabulary: one event as the relay reports it (`NtfyEvent`), the point a poll or
// stream starts from (`NtfySince`), the relay's refusal (`NtfyError`), the URLs of a relay and
// topic, and the line readers for the relay's newline-separated JSON bodies.
// Plain values and pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace torvo {

// One event of a topic. Only events whose `event` is "message" carry published texts; the
// others ("open", "keepalive") belong to the stream's bookkeeping.
struct NtfyEvent {
  std::string id;
  std::int64_t time = 0;
  std::string event;
  std::optional<std::string> topic;
  std::optional<std::string> message;

  bool isMessage() const { return event == "message"; }
  // The event as a JSON object: "id", "time" and "event" always, "topic" and "message" when
  // present.
  nlohmann::json toJSON() const;

  bool operator==(const NtfyEvent&) const = default;
};

// Where a poll or stream starts: events since a Unix time, events after an event id, or every
// event the relay still keeps.
class NtfySince {
 public:
  struct Unix {
    std::int64_t seconds;
    bool operator==(const Unix&) const = default;
  };
  struct Id {
    std::string id;
    bool operator==(const Id&) const = default;
  };
  struct All {
    bool operator==(const All&) const = default;
  };

  static NtfySince unix(std::int64_t seconds) { return NtfySince(Unix{seconds}); }
  static NtfySince id(std::string id) { return NtfySince(Id{std::move(id)}); }
  static NtfySince all() { return NtfySince(All{}); }

  // The value sent in the "since" query item: the decimal seconds, the id, or "all".
  std::string value() const;
  const std::variant<Unix, Id, All>& kind() const { return kind_; }

  bool operator==(const NtfySince&) const = default;

 private:
  explicit NtfySince(std::variant<Unix, Id, All> kind) : kind_(std::move(kind)) {}
  std::variant<Unix, Id, All> kind_;
};

// The relay answered with a status outside 200 to 299. Thrown by the client's requests; the
// status is the whole payload.
struct NtfyError : std::exception {
  int status = 0;

  static NtfyError http(int status) {
    NtfyError error;
    error.status = status;
    return error;
  }
  const char* what() const noexcept override { return "NtfyError.http"; }
  bool operator==(const NtfyError& other) const { return status == other.status; }
};

namespace Ntfy {

// `relay` with `segments` appended as path segments, each percent-encoded; a base path of the
// relay is kept, and any query or fragment of the relay URL is dropped.
std::string appendPath(std::string_view relay, const std::vector<std::string>& segments);

std::string topicURL(std::string_view relay, std::string_view topic);
// The topic URL, "/json", then "?poll=1&since=<since>".
std::string pollURL(std::string_view relay, std::string_view topic, const NtfySince& since);
// The topic URL and "/json", with "?since=<since>" only when a since value is given.
std::string streamURL(std::string_view relay, std::string_view topic,
                      const std::optional<NtfySince>& since);

// Percent-encoding of a URL path segment and of a query item value.
std::string encodePathSegment(std::string_view text);
std::string encodeQueryValue(std::string_view text);

// `text` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string repairUTF8(std::string_view text);

// The longest event identifier taken from a relay. Readers keep the last one as their place in
// the topic (the agent in its state file, whose size is capped, and in the next request's URL);
// relays use short identifiers (12 characters for ntfy).
inline constexpr std::size_t maxEventIDBytes = 256;

// One line to an event: tabs and Unicode space separators are trimmed from both ends (line
// breaks are not); an empty line, text that is not a JSON object, a missing or mistyped "id",
// "time" or "event", or an "id" longer than maxEventIDBytes gives nothing.
std::optional<NtfyEvent> parse(std::string_view line);

// A body to its events: split at every line break (LF, CR, CR LF, VT, FF, NEL, LS, PS), empty
// pieces dropped, each piece read with `parse`; lines that do not parse are skipped.
std::vector<NtfyEvent> parseLines(std::string_view text);

}  // namespace Ntfy
}  // namespace torvo
