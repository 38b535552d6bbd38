// Pairing: everything one phone needs to talk to this computer (relay, topic, key identifier,
// key and the computer's name), its link text "torvo://pair?v=1&r=…&t=…&i=…&k=…&n=…", the
// reading of such a link with every refusal as a PairingError, and the generation of topics,
// key identifiers and keys from the secure random source. A plain value; the static functions
// are safe from any thread.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "kit/bytes.h"
#include "kit/url.h"

namespace torvo {

// Why a link was refused. No message text; `text` carries the value or item name where one applies.
struct PairingError {
  enum class Kind { unsupportedVersion, missing, invalid, notPairingURL };
  Kind kind = Kind::notPairingURL;
  std::string text;  // unsupportedVersion: the "v" value found; missing/invalid: the item name

  static PairingError unsupportedVersion(std::string value) { return {Kind::unsupportedVersion, std::move(value)}; }
  static PairingError missing(std::string item) { return {Kind::missing, std::move(item)}; }
  static PairingError invalid(std::string item) { return {Kind::invalid, std::move(item)}; }
  static PairingError notPairingURL() { return {Kind::notPairingURL, {}}; }

  bool operator==(const PairingError&) const = default;
};

struct Pairing {
  // The relay used until another one is configured: a public relay of the ntfy kind.
  static constexpr std::string_view defaultRelay = "https://ntfy.sh";
  static constexpr std::string_view scheme = "torvo";
  static constexpr std::string_view linkHost = "pair";
  static constexpr std::string_view linkVersion = "1";
  static constexpr std::int64_t qrLifetime = 300;  // seconds a shown link stays valid
  static constexpr std::string_view unreserved =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
  static constexpr std::string_view randomAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
  static constexpr std::string_view topicPrefix = "rr-";
  static constexpr std::size_t topicLength = 27;
  static constexpr std::size_t maxLinkBytes = 1024;
  static constexpr std::size_t maxNameLength = 64;  // user-perceived characters

  std::string relay;    // http(s) URL text of the relay
  std::string topic;
  std::string keyID;    // 10 characters a to z and 0 to 9
  Bytes keyData;        // the raw AES-256 key, 32 bytes
  std::string macName;  // the computer's display name

  // The key material for sealing and opening.
  ByteView key() const { return keyData; }

  // The link text. Refused with `invalid` naming the item when the record could not be read
  // back from its link (a bad relay, topic, key id, key or an overlong name), and with
  // `notPairingURL` when the link would exceed maxLinkBytes, so a link that is built always
  // parses.
  std::expected<std::string, PairingError> url() const;

  // `n` characters drawn uniformly (no modulo bias) from randomAlphabet with the secure random
  // source.
  static std::string randomString(std::size_t n);
  // "rr-" and 24 random characters.
  static std::string randomTopic();
  // "rr-" followed by 24 characters a to z or 0 to 9, 27 in all.
  static bool isValidTopic(std::string_view topic);
  // A new pairing with a fresh key id and a fresh 256-bit key; the other values used as given.
  static Pairing generate(std::string relay, std::string topic, std::string macName);

  // Reads a link text: at most maxLinkBytes bytes, surrounding white space ignored.
  static std::expected<Pairing, PairingError> fromString(std::string_view text);
  // Reads a parsed link; checks run in the order v, r, t, i, k, n and the first failure counts.
  static std::expected<Pairing, PairingError> fromURL(const Url& url);

  bool operator==(const Pairing&) const = default;
};

}  // namespace torvo
