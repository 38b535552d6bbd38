// A flat reading of one JSON object in a single SAX pass, without building a document: the
// members of the object and, one level down, the members of objects nested in it (deeper
// content is checked for well-formedness and skipped). Used for phone records on the inbound
// hot path. Typed getters follow the same rules as JSONFields: a missing key and null both mean
// absent, integers may be whole numbers written with a fraction or exponent, anything else of
// the wrong kind is a JSONDecodingError naming the key; a repeated key counts by its last
// occurrence. A plain value; safe from any thread on its own copy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kit/bytes.h"
#include "kit/json_fields.h"

namespace torvo {

// Where a JSONRecord getter looks: the object's top level, or one nested object's content.
struct JSONScope {
  int object = -1;  // -1: top level; otherwise the index of the member holding the object
};

class JSONRecord {
 public:
  using Scope = JSONScope;

  // Nothing when the bytes are not JSON or not an object.
  static std::optional<JSONRecord> parse(ByteView bytes);

  JSONFields::Result<std::optional<std::int64_t>> optionalInteger(std::string_view key, Scope scope = {}) const;
  JSONFields::Result<std::int64_t> integer(std::string_view key, Scope scope = {}) const;
  JSONFields::Result<std::optional<std::string>> optionalText(std::string_view key, Scope scope = {}) const;
  JSONFields::Result<std::string> text(std::string_view key, Scope scope = {}) const;
  JSONFields::Result<std::optional<bool>> optionalBoolean(std::string_view key, Scope scope = {}) const;
  JSONFields::Result<bool> boolean(std::string_view key, Scope scope = {}) const;
  // The scope of a member that holds an object; an error when it is missing, null or not an
  // object.
  JSONFields::Result<Scope> object(std::string_view key, Scope scope = {}) const;

  enum class Kind { null, boolean, integer, unsignedInteger, floating, string, object, array };
  struct Member {
    int parent;  // -1 or the index of the member holding the enclosing object
    std::string key;
    Kind kind = Kind::null;
    bool boolean = false;
    std::int64_t integer = 0;
    std::uint64_t unsignedInteger = 0;
    double floating = 0;
    std::string text;
  };

 private:
  friend class JSONRecordBuilder;
  const Member* find(std::string_view key, Scope scope) const;
  std::vector<Member> members_;
};

}  // namespace torvo
