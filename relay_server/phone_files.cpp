#include "relay_server/phone_files.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <system_error>

namespace torvo::PhoneFiles {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The decoded path, or nothing for a malformed escape or a decoded NUL.
std::optional<std::string> percentDecoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hexValue(text[i + 1]);
    const int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  if (out.find('\0') != std::string::npos) return std::nullopt;
  return out;
}

// Every segment a plain name: none empty, none starting with a dot (which covers "." and ".."
// and hidden files), no backslash.
bool plainSegments(const std::string& path) {
  if (path.find('\\') != std::string::npos) return false;
  std::size_t start = 0;
  while (true) {
    const auto end = path.find('/', start);
    const auto segment = path.substr(start, end == std::string::npos ? end : end - start);
    if (segment.empty() || segment.front() == '.') return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

bool isInside(const std::filesystem::path& root, const std::filesystem::path& candidate) {
  const auto [rootEnd, candidateAt] =
      std::mismatch(root.begin(), root.end(), candidate.begin(), candidate.end());
  return rootEnd == root.end() && candidateAt != candidate.end();
}

}  // namespace

std::optional<Found> find(const std::string& dir, std::string_view rest) {
  if (dir.empty()) return std::nullopt;
  auto relative = percentDecoded(rest);
  if (!relative) return std::nullopt;
  if (relative->empty()) *relative = "index.html";
  if (!plainSegments(*relative)) return std::nullopt;
  std::error_code error;
  const auto root = std::filesystem::canonical(dir, error);
  if (error) return std::nullopt;
  const auto candidate = std::filesystem::weakly_canonical(root / *relative, error);
  if (error || !isInside(root, candidate)) return std::nullopt;
  if (!std::filesystem::is_regular_file(candidate, error)) return std::nullopt;
  return Found{candidate, contentType(candidate)};
}

std::string contentType(const std::filesystem::path& path) {
  static const std::map<std::string, std::string> types = {
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".json", "application/json"},
      {".webmanifest", "application/manifest+json"},
      {".png", "image/png"},
      {".svg", "image/svg+xml"},
      {".ico", "image/x-icon"},
      {".txt", "text/plain; charset=utf-8"},
      {".woff2", "font/woff2"},
  };
  auto extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto found = types.find(extension);
  return found == types.end() ? "application/octet-stream" : found->second;
}

}  // namespace torvo::PhoneFiles
