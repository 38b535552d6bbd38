#include "kit/ntfy.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <limits>

namespace torvo {

nlohmann::json NtfyEvent::toJSON() const {
  nlohmann::json object = {{"id", id}, {"time", time}, {"event", event}};
  if (topic) object["topic"] = *topic;
  if (message) object["message"] = *message;
  return object;
}

std::string NtfySince::value() const {
  struct Visitor {
    std::string operator()(const Unix& since) const { return std::to_string(since.seconds); }
    std::string operator()(const Id& since) const { return since.id; }
    std::string operator()(const All&) const { return "all"; }
  };
  return std::visit(Visitor{}, kind_);
}

namespace Ntfy {
namespace {

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_' || c == '~';
}

std::string percentEncode(std::string_view text, std::string_view alsoAllowed) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (isUnreserved(c) || alsoAllowed.find(static_cast<char>(c)) != std::string_view::npos) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 0x0F]);
    }
  }
  return out;
}

// Code point of the UTF-8 sequence at `i`, advancing `i`; negative for an invalid sequence.
UChar32 nextCodePoint(std::string_view text, std::size_t& i) {
  UChar32 c = 0;
  auto index = static_cast<int32_t>(i);
  U8_NEXT(reinterpret_cast<const uint8_t*>(text.data()), index,
          static_cast<int32_t>(text.size()), c);
  i = static_cast<std::size_t>(index);
  return c;
}

UChar32 previousCodePoint(std::string_view text, std::size_t& end) {
  UChar32 c = 0;
  auto index = static_cast<int32_t>(end);
  U8_PREV(reinterpret_cast<const uint8_t*>(text.data()), 0, index, c);
  end = static_cast<std::size_t>(index);
  return c;
}

bool isTrimmedSpace(UChar32 c) {
  return c == '\t' || (c >= 0 && u_charType(c) == U_SPACE_SEPARATOR);
}

std::string_view trimSpaces(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    if (!isTrimmedSpace(nextCodePoint(text, next))) break;
    begin = next;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t previous = end;
    if (!isTrimmedSpace(previousCodePoint(text, previous))) break;
    end = previous;
  }
  return text.substr(begin, end - begin);
}

// Length in bytes of the line break that starts at `i`, or 0 when none does.
std::size_t lineBreakLength(std::string_view text, std::size_t i) {
  const auto c = static_cast<unsigned char>(text[i]);
  if (c == '\r') return (i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
  if (c == '\n' || c == '\v' || c == '\f') return 1;
  const auto next = [&](std::size_t k) {
    return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
  };
  if (c == 0xC2 && next(1) == 0x85) return 2;                                        // NEL
  if (c == 0xE2 && next(1) == 0x80 && (next(2) == 0xA8 || next(2) == 0xA9)) return 3;  // LS, PS
  return 0;
}

template <class T>
std::optional<T> field(const nlohmann::json& object, const char* key);

template <>
std::optional<std::string> field(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

template <>
std::optional<std::int64_t> field(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  if (it->is_number_integer() && !it->is_number_unsigned()) return it->get<std::int64_t>();
  if (it->is_number_unsigned()) {
    const auto value = it->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
  }
  return std::nullopt;
}

// An optional text field: absent when missing or null, a failure when of another type.
bool optionalText(const nlohmann::json& object, const char* key,
                  std::optional<std::string>& out) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

}  // namespace

std::string appendPath(std::string_view relay, const std::vector<std::string>& segments) {
  std::string base(relay.substr(0, relay.find_first_of("?#")));
  while (!base.empty() && base.back() == '/') base.pop_back();
  for (const auto& segment : segments) {
    base += '/';
    base += encodePathSegment(segment);
  }
  return base;
}

std::string topicURL(std::string_view relay, std::string_view topic) {
  return appendPath(relay, {std::string(topic)});
}

std::string pollURL(std::string_view relay, std::string_view topic, const NtfySince& since) {
  return appendPath(relay, {std::string(topic), "json"}) +
         "?poll=1&since=" + encodeQueryValue(since.value());
}

std::string streamURL(std::string_view relay, std::string_view topic,
                      const std::optional<NtfySince>& since) {
  auto url = appendPath(relay, {std::string(topic), "json"});
  if (since) url += "?since=" + encodeQueryValue(since->value());
  return url;
}

std::string encodePathSegment(std::string_view text) { return percentEncode(text, "!$&'()*+,;=:@"); }

std::string encodeQueryValue(std::string_view text) { return percentEncode(text, "!$'()*,;:@/?"); }

std::string repairUTF8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t start = i;
    if (nextCodePoint(text, i) < 0) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(text.substr(start, i - start));
    }
  }
  return out;
}

std::optional<NtfyEvent> parse(std::string_view line) {
  const auto trimmed = trimSpaces(line);
  if (trimmed.empty()) return std::nullopt;
  const auto object = nlohmann::json::parse(trimmed, nullptr, false);
  if (object.is_discarded() || !object.is_object()) return std::nullopt;
  NtfyEvent event;
  auto id = field<std::string>(object, "id");
  auto time = field<std::int64_t>(object, "time");
  auto kind = field<std::string>(object, "event");
  if (!id || !time || !kind || id->size() > maxEventIDBytes) return std::nullopt;
  event.id = std::move(*id);
  event.time = *time;
  event.event = std::move(*kind);
  if (!optionalText(object, "topic", event.topic) ||
      !optionalText(object, "message", event.message)) {
    return std::nullopt;
  }
  return event;
}

std::vector<NtfyEvent> parseLines(std::string_view text) {
  std::vector<NtfyEvent> events;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i <= text.size()) {
    const std::size_t breakLength = i < text.size() ? lineBreakLength(text, i) : 1;
    if (breakLength == 0) {
      ++i;
      continue;
    }
    if (i > start) {
      if (auto event = parse(text.substr(start, i - start))) events.push_back(std::move(*event));
    }
    i += breakLength;
    start = i;
  }
  return events;
}

}  // namespace Ntfy
}  // namespace torvo
