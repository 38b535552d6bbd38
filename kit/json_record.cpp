#include "kit/json_record.h"

#include <nlohmann/json.hpp>

namespace torvo {

// Receives the parser's events and keeps the members of the top-level object and of objects
// nested directly in it.
class JSONRecordBuilder {
 public:
  using json = nlohmann::json;

  explicit JSONRecordBuilder(JSONRecord& record) : record_(record) {}

  bool null() { return value(JSONRecord::Kind::null); }
  bool boolean(bool v) { return value(JSONRecord::Kind::boolean, [v](JSONRecord::Member& m) { m.boolean = v; }); }
  bool number_integer(json::number_integer_t v) {
    return value(JSONRecord::Kind::integer, [v](JSONRecord::Member& m) { m.integer = v; });
  }
  bool number_unsigned(json::number_unsigned_t v) {
    return value(JSONRecord::Kind::unsignedInteger, [v](JSONRecord::Member& m) { m.unsignedInteger = v; });
  }
  bool number_float(json::number_float_t v, const json::string_t&) {
    return value(JSONRecord::Kind::floating, [v](JSONRecord::Member& m) { m.floating = v; });
  }
  bool string(json::string_t& v) {
    return value(JSONRecord::Kind::string, [&v](JSONRecord::Member& m) { m.text = std::move(v); });
  }
  bool binary(json::binary_t&) { return false; }
  bool start_object(std::size_t) { return open(JSONRecord::Kind::object); }
  bool key(json::string_t& k) {
    key_ = std::move(k);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(JSONRecord::Kind::array); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

 private:
  struct Container {
    bool recordsMembers;
    int scope;  // parent index given to recorded members
  };

  // Records a value in the innermost container when that container's members are kept;
  // returns the new member's index or -1.
  template <typename Fill>
  int record(JSONRecord::Kind kind, Fill fill) {
    if (stack_.empty() || !stack_.back().recordsMembers) return -1;
    JSONRecord::Member& m = record_.members_.emplace_back();
    m.parent = stack_.back().scope;
    m.key = std::move(key_);
    m.kind = kind;
    fill(m);
    return static_cast<int>(record_.members_.size() - 1);
  }

  template <typename Fill = void (*)(JSONRecord::Member&)>
  bool value(JSONRecord::Kind kind, Fill fill = [](JSONRecord::Member&) {}) {
    if (stack_.empty()) return false;  // the document is not an object
    record(kind, fill);
    return true;
  }

  bool open(JSONRecord::Kind kind) {
    if (stack_.empty()) {
      if (kind != JSONRecord::Kind::object || started_) return false;
      started_ = true;
      stack_.push_back({true, -1});
      return true;
    }
    const int index = record(kind, [](JSONRecord::Member&) {});
    // Members of objects directly inside the top level are kept; deeper ones are not.
    const bool keep = kind == JSONRecord::Kind::object && index >= 0 && stack_.size() == 1;
    stack_.push_back({keep, keep ? index : -1});
    return true;
  }

  bool close() {
    stack_.pop_back();
    return true;
  }

  JSONRecord& record_;
  std::vector<Container> stack_;
  std::string key_;
  bool started_ = false;
};

std::optional<JSONRecord> JSONRecord::parse(ByteView bytes) {
  JSONRecord record;
  JSONRecordBuilder builder(record);
  if (!nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &builder)) return std::nullopt;
  return record;
}

const JSONRecord::Member* JSONRecord::find(std::string_view key, Scope scope) const {
  for (auto it = members_.rbegin(); it != members_.rend(); ++it) {
    if (it->parent == scope.object && it->key == key) return &*it;
  }
  return nullptr;
}

namespace {

std::unexpected<JSONDecodingError> wrongKind(std::string_view key) {
  return std::unexpected(JSONDecodingError{std::string(key)});
}

}  // namespace

JSONFields::Result<std::optional<std::int64_t>> JSONRecord::optionalInteger(std::string_view key, Scope scope) const {
  const Member* m = find(key, scope);
  if (!m || m->kind == Kind::null) return std::optional<std::int64_t>();
  switch (m->kind) {
    case Kind::integer:
      return std::optional<std::int64_t>(m->integer);
    case Kind::unsignedInteger:
      if (m->unsignedInteger > static_cast<std::uint64_t>(INT64_MAX)) return wrongKind(key);
      return std::optional<std::int64_t>(static_cast<std::int64_t>(m->unsignedInteger));
    case Kind::floating: {
      const auto whole = JSONFields::wholeNumber(m->floating);
      if (!whole) return wrongKind(key);
      return std::optional<std::int64_t>(*whole);
    }
    default:
      return wrongKind(key);
  }
}

JSONFields::Result<std::int64_t> JSONRecord::integer(std::string_view key, Scope scope) const {
  auto v = optionalInteger(key, scope);
  if (!v) return std::unexpected(v.error());
  if (!*v) return wrongKind(key);
  return **v;
}

JSONFields::Result<std::optional<std::string>> JSONRecord::optionalText(std::string_view key, Scope scope) const {
  const Member* m = find(key, scope);
  if (!m || m->kind == Kind::null) return std::optional<std::string>();
  if (m->kind != Kind::string) return wrongKind(key);
  return std::optional<std::string>(m->text);
}

JSONFields::Result<std::string> JSONRecord::text(std::string_view key, Scope scope) const {
  auto v = optionalText(key, scope);
  if (!v) return std::unexpected(v.error());
  if (!*v) return wrongKind(key);
  return std::move(**v);
}

JSONFields::Result<std::optional<bool>> JSONRecord::optionalBoolean(std::string_view key, Scope scope) const {
  const Member* m = find(key, scope);
  if (!m || m->kind == Kind::null) return std::optional<bool>();
  if (m->kind != Kind::boolean) return wrongKind(key);
  return std::optional<bool>(m->boolean);
}

JSONFields::Result<bool> JSONRecord::boolean(std::string_view key, Scope scope) const {
  auto v = optionalBoolean(key, scope);
  if (!v) return std::unexpected(v.error());
  if (!*v) return wrongKind(key);
  return **v;
}

JSONFields::Result<JSONRecord::Scope> JSONRecord::object(std::string_view key, Scope scope) const {
  const Member* m = find(key, scope);
  if (!m || m->kind != Kind::object || scope.object != -1) return wrongKind(key);
  return Scope{static_cast<int>(m - members_.data())};
}

}  // namespace torvo
