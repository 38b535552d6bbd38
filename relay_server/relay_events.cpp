#include "relay_server/relay_events.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <iterator>
#include <string_view>

#include <nlohmann/json.hpp>

namespace torvo {
namespace {

bool isEventId(const std::string& text) {
  if (text.size() != 12) return false;
  for (unsigned char c : text) {
    if (!std::isalnum(c)) return false;
  }
  return true;
}

}  // namespace

std::optional<RelaySince> parseRelaySince(const std::string& text) {
  if (text == "all") return SinceAll{};
  if (text == "none") return SinceNone{};
  if (!text.empty() && text.size() <= 18 &&
      text.find_first_not_of("0123456789") == std::string::npos) {
    return SinceTime{std::stoll(text)};
  }
  if (isEventId(text)) return SinceId{text};
  return std::nullopt;
}

RelayEvents::RelayEvents(std::function<std::int64_t()> now) : now_(std::move(now)) {}

std::int64_t RelayEvents::now() const {
  if (now_) return now_();
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string RelayEvents::newId() {
  static constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::string id(12, ' ');
  for (auto& c : id) c = alphabet[pick(random_)];
  return id;
}

void RelayEvents::pruneExpired() {
  const auto at = now();
  for (auto it = topics_.begin(); it != topics_.end();) {
    auto& events = it->second;
    while (!events.empty() && events.front().expires <= at) events.pop_front();
    it = events.empty() ? topics_.erase(it) : std::next(it);
  }
}

std::string RelayEvents::messageLine(const std::string& topic, const Stored& event) {
  const nlohmann::json line = {{"id", event.id},          {"time", event.time},
                               {"expires", event.expires}, {"event", "message"},
                               {"topic", topic},           {"message", event.message}};
  return line.dump() + "\n";
}

std::string RelayEvents::publish(const std::string& topic, std::string message) {
  pruneExpired();
  const auto at = now();
  Stored event{++lastSequence_, newId(), at, at + keepSeconds, std::move(message)};
  auto line = messageLine(topic, event);
  topics_[topic].push_back(std::move(event));
  return line;
}

std::string RelayEvents::selectedLines(const std::string& topic, const RelaySince& since) {
  pruneExpired();
  std::string out;
  const auto found = topics_.find(topic);
  if (found == topics_.end() || std::holds_alternative<SinceNone>(since)) return out;
  const auto& events = found->second;
  auto from = events.begin();
  if (const auto* time = std::get_if<SinceTime>(&since)) {
    from = std::find_if(events.begin(), events.end(),
                        [&](const Stored& e) { return e.time >= time->seconds; });
  } else if (const auto* id = std::get_if<SinceId>(&since)) {
    const auto match = std::find_if(events.begin(), events.end(),
                                    [&](const Stored& e) { return e.id == id->id; });
    if (match != events.end()) from = std::next(match);
  }
  for (; from != events.end(); ++from) out += messageLine(topic, *from);
  return out;
}

std::string RelayEvents::linesAfter(const std::string& topic, std::uint64_t sequence) const {
  std::string out;
  const auto found = topics_.find(topic);
  if (found == topics_.end()) return out;
  for (const auto& event : found->second) {
    if (event.sequence > sequence) out += messageLine(topic, event);
  }
  return out;
}

std::string RelayEvents::bookkeepingLine(const std::string& topic, const char* kind) {
  const nlohmann::json line = {{"id", newId()}, {"time", now()}, {"event", kind}, {"topic", topic}};
  return line.dump() + "\n";
}

}  // namespace torvo
