#include "kit/url.h"

#include <algorithm>

#include "kit/unicode_text.h"

namespace torvo {
namespace {

bool isAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelim(char c) { return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos; }

char lowerASCII(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return lowerASCII(x) == lowerASCII(y); });
}

int hexValue(char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return c - 'a' + 10;
}

// True when every character of `text` is allowed by `allowed` or starts a complete %XX escape.
template <typename Allowed>
bool validComponent(std::string_view text, Allowed allowed) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      if (!isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
      i += 2;
    } else if (!allowed(c)) {
      return false;
    }
  }
  return true;
}

bool isPChar(char c) { return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@'; }

// host of an authority: a bracketed IP literal or a registered name.
bool validHost(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    const std::string_view inner = host.substr(1, host.size() - 2);
    return std::all_of(inner.begin(), inner.end(),
                       [](char c) { return isUnreserved(c) || isSubDelim(c) || c == ':'; });
  }
  return validComponent(host, [](char c) { return isUnreserved(c) || isSubDelim(c); });
}

}  // namespace

bool Url::isWeb() const {
  return (equalsIgnoringCase(scheme, "http") || equalsIgnoringCase(scheme, "https")) && host &&
         !host->empty();
}

std::optional<Url> Url::parse(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || !isAlpha(text[0])) return std::nullopt;
  Url url;
  url.scheme = std::string(text.substr(0, colon));
  if (!std::all_of(url.scheme.begin(), url.scheme.end(),
                   [](char c) { return isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.'; })) {
    return std::nullopt;
  }
  std::string_view rest = text.substr(colon + 1);

  if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
    const std::string_view fragment = rest.substr(hash + 1);
    if (!validComponent(fragment, [](char c) { return isPChar(c) || c == '/' || c == '?'; })) return std::nullopt;
    url.fragment = std::string(fragment);
    rest = rest.substr(0, hash);
  }
  if (const std::size_t question = rest.find('?'); question != std::string_view::npos) {
    const std::string_view query = rest.substr(question + 1);
    if (!validComponent(query, [](char c) { return isPChar(c) || c == '/' || c == '?'; })) return std::nullopt;
    url.query = std::string(query);
    rest = rest.substr(0, question);
  }
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    const std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
      const std::string_view userInfo = authority.substr(0, at);
      if (!validComponent(userInfo, [](char c) { return isUnreserved(c) || isSubDelim(c) || c == ':'; })) {
        return std::nullopt;
      }
      authority.remove_prefix(at + 1);
    }
    // The port follows the last ":" that is not inside a bracketed literal.
    const std::size_t bracket = authority.rfind(']');
    const std::size_t portColon = authority.rfind(':');
    std::string_view host = authority;
    if (portColon != std::string_view::npos && (bracket == std::string_view::npos || portColon > bracket)) {
      const std::string_view port = authority.substr(portColon + 1);
      if (!std::all_of(port.begin(), port.end(), isDigit)) return std::nullopt;
      url.port = std::string(port);
      host = authority.substr(0, portColon);
    }
    if (!validHost(host)) return std::nullopt;
    url.host = std::string(host);
  }
  if (!validComponent(rest, [](char c) { return isPChar(c) || c == '/'; })) return std::nullopt;
  url.path = std::string(rest);
  return url;
}

std::string PercentEncoding::encode(std::string_view text) {
  constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (isUnreserved(c)) {
      out.push_back(c);
    } else {
      const auto b = static_cast<unsigned char>(c);
      out.push_back('%');
      out.push_back(hex[b >> 4]);
      out.push_back(hex[b & 0x0F]);
    }
  }
  return out;
}

std::optional<std::string> PercentEncoding::decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    if (!isHex(text[i + 1]) || !isHex(text[i + 2])) return std::nullopt;
    out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
    i += 2;
  }
  if (!UnicodeText::isValidUTF8(out)) return std::nullopt;
  return out;
}

}  // namespace torvo
