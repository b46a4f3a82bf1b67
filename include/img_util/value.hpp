// Value: the configuration dictionary `cfg` and everything in it.
//
// A dynamic value as a Python host would hand it over: none, bool, int, float, text, bytes,
// list, dict (insertion-ordered, text keys) or an opaque handle (the open backup archive, or
// a host object we only carry). Lists, dicts and handles have reference semantics, as in
// Python: copying a Value shares the container, so `cfg.at("result")` can be changed in place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "img_util/errors.hpp"

namespace img_util {

class Value;

// Something the dictionary carries but cannot look into. `close()` completes and releases it
// (the backup archive); `type_name()` names it in error messages ("Object of type X is not
// JSON serializable").
class Handle {
 public:
  virtual ~Handle() = default;
  virtual void close() {}
  virtual std::string type_name() const = 0;
};

struct Bytes {
  std::string data;
  bool operator==(const Bytes&) const = default;
};

using List = std::vector<Value>;

// Insertion-ordered dictionary with text keys. Lookups are linear: configurations hold a few
// dozen keys at most.
class Dict {
 public:
  using Item = std::pair<std::string, Value>;

  bool contains(std::string_view key) const;
  // Throws KeyError when missing.
  Value& at(std::string_view key);
  const Value& at(std::string_view key) const;
  // Null when missing.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  // Inserts at the end, or replaces in place keeping the position.
  void set(std::string_view key, Value v);
  // Removes the key if present; returns whether it was.
  bool erase(std::string_view key);
  // Defined below Value: clang instantiates the constexpr vector members where they are used,
  // which needs Value complete.
  size_t size() const;
  bool empty() const;
  const std::vector<Item>& items() const { return items_; }
  std::vector<Item>& items() { return items_; }

 private:
  std::vector<Item> items_;
};

class Value {
 public:
  enum class Kind { None, Bool, Int, Float, Text, Bytes, List, Dict, Handle };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  Value(int i) : v_(int64_t{i}) {}
  Value(int64_t i) : v_(i) {}
  Value(double d) : v_(d) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(Bytes b) : v_(std::move(b)) {}
  Value(List l) : v_(std::make_shared<List>(std::move(l))) {}
  Value(Dict d) : v_(std::make_shared<Dict>(std::move(d))) {}
  Value(std::shared_ptr<List> l) : v_(std::move(l)) {}
  Value(std::shared_ptr<Dict> d) : v_(std::move(d)) {}
  Value(std::shared_ptr<Handle> h) : v_(std::move(h)) {}

  static Value dict() { return Value(Dict{}); }
  static Value list() { return Value(List{}); }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_none() const { return kind() == Kind::None; }
  bool is_bool() const { return kind() == Kind::Bool; }
  bool is_int() const { return kind() == Kind::Int; }
  bool is_float() const { return kind() == Kind::Float; }
  bool is_number() const { return is_bool() || is_int() || is_float(); }
  bool is_text() const { return kind() == Kind::Text; }
  bool is_bytes() const { return kind() == Kind::Bytes; }
  bool is_list() const { return kind() == Kind::List; }
  bool is_dict() const { return kind() == Kind::Dict; }
  bool is_handle() const { return kind() == Kind::Handle; }

  // Python truth: none, false, 0, 0.0, empty text/bytes/list/dict are false.
  bool truthy() const;
  explicit operator bool() const { return truthy(); }

  // Accessors throw TypeError naming the expected type when the kind differs.
  bool as_bool() const;
  int64_t as_int() const;    // bool or int
  double as_number() const;  // bool, int or float
  const std::string& as_text() const;
  const Bytes& as_bytes() const;
  List& as_list() const;
  Dict& as_dict() const;
  const std::shared_ptr<Handle>& as_handle() const;
  std::shared_ptr<List> list_ptr() const;
  std::shared_ptr<Dict> dict_ptr() const;

  // Dictionary lookups on a dict value (TypeError on other kinds).
  // at(): required lookup, KeyError('key') when missing. get(): none when missing.
  Value& at(std::string_view key) const;
  Value get(std::string_view key, Value fallback = {}) const;
  bool contains(std::string_view key) const;
  void set(std::string_view key, Value v) const;
  bool erase(std::string_view key) const;

  // Python's type name of this value ("int", "str", "dict", ...), for error messages.
  std::string type_name() const;

  // Python `==` between two values: numbers compare numerically (True == 1 == 1.0),
  // text never equals a number, containers compare element-wise, handles by identity.
  bool operator==(const Value& other) const;

 private:
  std::variant<std::monostate, bool, int64_t, double, std::string, Bytes, std::shared_ptr<List>,
               std::shared_ptr<Dict>, std::shared_ptr<Handle>>
      v_;
};

inline size_t Dict::size() const { return items_.size(); }
inline bool Dict::empty() const { return items_.empty(); }

// A copy that shares no list or dictionary with `v` (handles are shared), so that another
// thread may read it while `v` changes. A container that holds itself is copied as one that
// holds its copy.
Value deep_copy(const Value& v);

// Numeric equality as Python's `v == n`: true for 1, 1.0 and True against 1; never for text.
bool num_eq(const Value& v, int64_t n);

// Python's repr() of a text: single quotes, or double quotes when it holds a single quote and
// no double quote; backslash escapes for the quote, backslashes and non-printable characters.
// Bytes that are not valid UTF-8 are shown as \xNN escapes.
std::string py_repr(std::string_view text);
// repr() of any value (text as above, numbers as Python prints them, lists, dicts, None...).
std::string py_repr(const Value& v);
// The printed form of a tuple of texts: ('a', 'b'). One element gets the trailing comma.
std::string tuple_line(std::initializer_list<std::string_view> items);

// What parse_json does with a key that appears twice in one object: keep its first place and
// its last value, as Python's json does, or refuse the document (a configuration with a
// second "folder" would otherwise walk a folder its author did not see).
enum class DuplicateKeys { LastWins, Refuse };

// A key seen twice in one object by parse_json with DuplicateKeys::Refuse.
class DuplicateKeyError : public ValueError {
 public:
  // `where`: "line L column C (char N)" of the second occurrence.
  DuplicateKeyError(std::string key, std::string where);
  const std::string& key() const noexcept { return key_; }
  const std::string& where() const noexcept { return where_; }

 private:
  std::string key_, where_;
};

// Reads a JSON document. Objects keep their key order. Throws ValueError with the position
// on malformed input, DuplicateKeyError for a repeated key when refused.
Value parse_json(std::string_view text, DuplicateKeys duplicates = DuplicateKeys::LastWins);
// Writes JSON as Python's json.dumps with its defaults: ", " and ": " separators, \uXXXX
// escapes for everything outside ASCII (surrogate pairs beyond the basic plane), floats in
// shortest round-trip form with ".0" where integral, NaN/Infinity as Python writes them.
// Throws TypeError("Object of type X is not JSON serializable") for handles.
std::string to_json(const Value& v);

}  // namespace img_util
