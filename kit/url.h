// A strict reader of absolute URLs (RFC 3986): scheme, optional authority with host and port,
// path, query and fragment, each left percent-encoded as written. Text with characters a URL
// cannot hold (spaces, non-ASCII, a bad %-escape) is refused. Also the percent-encoding helpers
// of the pairing link. Pure functions, safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace torvo {

struct Url {
  std::string scheme;              // as written (compare without regard to case)
  std::optional<std::string> host; // present when the URL has an authority ("//…")
  std::string port;                // digits, possibly empty
  std::string path;
  std::optional<std::string> query;     // without the "?"
  std::optional<std::string> fragment;  // without the "#"

  // An absolute URL, or nothing.
  static std::optional<Url> parse(std::string_view text);

  // Whether the scheme is http or https (in any case) and the host is not empty.
  bool isWeb() const;

  bool operator==(const Url&) const = default;
};

namespace PercentEncoding {

// Every byte outside the RFC 3986 unreserved set as %XX with upper-case hexadecimal digits.
std::string encode(std::string_view text);

// Decodes %XX escapes; nothing when an escape is incomplete or not hexadecimal, or when the
// decoded bytes are not valid UTF-8. "+" stays "+".
std::optional<std::string> decode(std::string_view text);

}  // namespace PercentEncoding
}  // namespace torvo
