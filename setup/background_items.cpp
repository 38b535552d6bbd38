#include "setup/background_items.h"

#include <algorithm>
#include <charconv>
#include <map>

#include "kit/url.h"
#include "setup/report_text.h"

namespace torvo::BackgroundItems {
namespace {

using ReportText::lowered;
using ReportText::trimmed;

constexpr std::string_view sectionPrefix = "Records for UID";

std::optional<std::uint32_t> decimal(std::string_view text) {
  std::uint32_t value = 0;
  const auto* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

// The user id of a "Records for UID <n>: …" line.
std::optional<std::uint32_t> sectionUID(std::string_view line) {
  auto rest = line.substr(sectionPrefix.size());
  // The first non-empty piece between colons.
  while (!rest.empty() && rest.front() == ':') rest.remove_prefix(1);
  if (rest.empty()) return std::nullopt;
  return decimal(trimmed(rest.substr(0, rest.find(':'))));
}

bool isRecordHeader(std::string_view line) {
  if (line.size() < 3 || line.front() != '#' || line.back() != ':') return false;
  const auto number = line.substr(1, line.size() - 2);
  return std::ranges::all_of(number, [](char c) { return c >= '0' && c <= '9'; });
}

bool isLoginItemType(const std::string& type) {
  return type == "app" || type.starts_with("app ") || type.starts_with("app(") ||
         type.starts_with("login item");
}

bool isEnabled(const std::string& disposition) {
  const auto words = ReportText::words(disposition, false);
  return std::ranges::find(words, "enabled") != words.end();
}

std::optional<std::string> present(const std::map<std::string, std::string>& fields,
                                   const std::string& name) {
  const auto it = fields.find(name);
  if (it == fields.end() || it->second.empty() || it->second == "(null)") return std::nullopt;
  return it->second;
}

// The last path component without its extension.
std::string stem(const std::string& path) {
  const auto slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const auto dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

std::optional<LoginItem> item(const std::map<std::string, std::string>& fields) {
  const auto type = fields.find("Type");
  if (type == fields.end() || !isLoginItemType(lowered(type->second))) return std::nullopt;
  const auto disposition = fields.find("Disposition");
  if (disposition == fields.end() || !isEnabled(lowered(disposition->second))) {
    return std::nullopt;
  }
  LoginItem out;
  const auto url = fields.find("URL");
  if (url != fields.end()) out.path = path(url->second);
  if (auto name = present(fields, "Name")) {
    out.name = *name;
  } else {
    out.name = out.path ? stem(*out.path) : "?";
  }
  out.bundleID = present(fields, "Bundle Identifier");
  out.parentID = present(fields, "Parent Identifier");
  return out;
}

}  // namespace

std::optional<std::vector<LoginItem>> parse(std::string_view text, std::uint32_t uid) {
  std::vector<LoginItem> result;
  bool inSection = false;
  bool seen = false;
  std::map<std::string, std::string> fields;

  const auto finishRecord = [&] {
    if (inSection && result.size() < maxItems) {
      if (auto found = item(fields)) result.push_back(std::move(*found));
    }
    fields.clear();
  };

  for (const auto raw : ReportText::lines(text)) {
    const auto line = trimmed(raw);
    if (line.starts_with(sectionPrefix)) {
      finishRecord();
      inSection = sectionUID(line) == uid;
      seen = seen || inSection;
    } else if (isRecordHeader(line)) {
      finishRecord();
    } else if (inSection) {
      const auto colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      fields.emplace(std::string(trimmed(line.substr(0, colon))),
                     std::string(trimmed(line.substr(colon + 1))));
    }
  }
  finishRecord();
  if (!seen) return std::nullopt;
  return result;
}

std::optional<std::string> path(std::string_view fromURL) {
  if (!fromURL.starts_with("file://")) return std::nullopt;
  const auto url = Url::parse(fromURL);
  if (!url) return std::nullopt;
  auto decoded = PercentEncoding::decode(url->path);
  if (!decoded || decoded->find('\0') != std::string::npos) return std::nullopt;
  while (decoded->size() >= 2 && decoded->back() == '/') decoded->pop_back();
  if (decoded->empty()) return std::nullopt;
  return decoded;
}

}  // namespace torvo::BackgroundItems
