// The configuration dictionary and its values, with Python's truth and equality rules.
#include "img_util/value.hpp"

#include <cmath>
#include <limits>
#include <map>

#include "img_util/errors.hpp"

namespace img_util {

bool Dict::contains(std::string_view key) const { return find(key) != nullptr; }

const Value* Dict::find(std::string_view key) const {
  for (const auto& item : items_)
    if (item.first == key) return &item.second;
  return nullptr;
}

Value* Dict::find(std::string_view key) {
  for (auto& item : items_)
    if (item.first == key) return &item.second;
  return nullptr;
}

Value& Dict::at(std::string_view key) {
  if (Value* v = find(key)) return *v;
  throw KeyError(std::string(key));
}

const Value& Dict::at(std::string_view key) const {
  if (const Value* v = find(key)) return *v;
  throw KeyError(std::string(key));
}

void Dict::set(std::string_view key, Value v) {
  if (Value* old = find(key)) {
    *old = std::move(v);
    return;
  }
  items_.emplace_back(std::string(key), std::move(v));
}

bool Dict::erase(std::string_view key) {
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    if (it->first == key) {
      items_.erase(it);
      return true;
    }
  }
  return false;
}

bool Value::truthy() const {
  switch (kind()) {
    case Kind::None: return false;
    case Kind::Bool: return std::get<bool>(v_);
    case Kind::Int: return std::get<int64_t>(v_) != 0;
    case Kind::Float: return std::get<double>(v_) != 0.0;  // NaN is true, as in Python
    case Kind::Text: return !std::get<std::string>(v_).empty();
    case Kind::Bytes: return !std::get<Bytes>(v_).data.empty();
    case Kind::List: return !std::get<std::shared_ptr<List>>(v_)->empty();
    case Kind::Dict: return !std::get<std::shared_ptr<Dict>>(v_)->empty();
    case Kind::Handle: return std::get<std::shared_ptr<Handle>>(v_) != nullptr;
  }
  return false;
}

namespace {
[[noreturn]] void wrong_type(const char* expected, const Value& v) {
  throw TypeError(std::string("expected ") + expected + ", got " + v.type_name());
}
}  // namespace

bool Value::as_bool() const {
  if (!is_bool()) wrong_type("bool", *this);
  return std::get<bool>(v_);
}

int64_t Value::as_int() const {
  if (is_bool()) return std::get<bool>(v_) ? 1 : 0;
  if (!is_int()) wrong_type("int", *this);
  return std::get<int64_t>(v_);
}

double Value::as_number() const {
  if (is_float()) return std::get<double>(v_);
  if (is_int()) return static_cast<double>(std::get<int64_t>(v_));
  if (is_bool()) return std::get<bool>(v_) ? 1.0 : 0.0;
  wrong_type("a number", *this);
}

const std::string& Value::as_text() const {
  if (!is_text()) wrong_type("str", *this);
  return std::get<std::string>(v_);
}

const Bytes& Value::as_bytes() const {
  if (!is_bytes()) wrong_type("bytes", *this);
  return std::get<Bytes>(v_);
}

List& Value::as_list() const {
  if (!is_list()) wrong_type("list", *this);
  return *std::get<std::shared_ptr<List>>(v_);
}

Dict& Value::as_dict() const {
  if (!is_dict()) wrong_type("dict", *this);
  return *std::get<std::shared_ptr<Dict>>(v_);
}

const std::shared_ptr<Handle>& Value::as_handle() const {
  if (!is_handle()) wrong_type("a handle", *this);
  return std::get<std::shared_ptr<Handle>>(v_);
}

std::shared_ptr<List> Value::list_ptr() const {
  if (!is_list()) wrong_type("list", *this);
  return std::get<std::shared_ptr<List>>(v_);
}

std::shared_ptr<Dict> Value::dict_ptr() const {
  if (!is_dict()) wrong_type("dict", *this);
  return std::get<std::shared_ptr<Dict>>(v_);
}

namespace {
// Python's message for subscripting or calling a dict method on something else.
Dict& dict_of(const Value& v) {
  if (!v.is_dict()) throw TypeError("'" + v.type_name() + "' object is not subscriptable");
  return v.as_dict();
}
}  // namespace

Value& Value::at(std::string_view key) const { return dict_of(*this).at(key); }

Value Value::get(std::string_view key, Value fallback) const {
  if (const Value* v = dict_of(*this).find(key)) return *v;
  return fallback;
}

bool Value::contains(std::string_view key) const { return dict_of(*this).contains(key); }

void Value::set(std::string_view key, Value v) const { dict_of(*this).set(key, std::move(v)); }

bool Value::erase(std::string_view key) const { return dict_of(*this).erase(key); }

std::string Value::type_name() const {
  switch (kind()) {
    case Kind::None: return "NoneType";
    case Kind::Bool: return "bool";
    case Kind::Int: return "int";
    case Kind::Float: return "float";
    case Kind::Text: return "str";
    case Kind::Bytes: return "bytes";
    case Kind::List: return "list";
    case Kind::Dict: return "dict";
    case Kind::Handle: {
      const auto& h = std::get<std::shared_ptr<Handle>>(v_);
      return h ? h->type_name() : "NoneType";
    }
  }
  return "object";
}

namespace {
// Exact comparison of an integer with a double, as Python does (no rounding of the int).
bool int_eq_float(int64_t i, double d) {
  if (!std::isfinite(d) || d != std::trunc(d)) return false;
  // 2^63 is exactly representable; anything at or above it is outside int64.
  if (d >= 9223372036854775808.0 || d < -9223372036854775808.0) return false;
  return static_cast<int64_t>(d) == i;
}
}  // namespace

bool Value::operator==(const Value& other) const {
  if (is_number() && other.is_number()) {
    if (is_float() && other.is_float()) return std::get<double>(v_) == std::get<double>(other.v_);
    if (is_float()) return int_eq_float(other.as_int(), std::get<double>(v_));
    if (other.is_float()) return int_eq_float(as_int(), std::get<double>(other.v_));
    return as_int() == other.as_int();
  }
  if (kind() != other.kind()) return false;
  switch (kind()) {
    case Kind::None: return true;
    case Kind::Text: return std::get<std::string>(v_) == std::get<std::string>(other.v_);
    case Kind::Bytes: return std::get<Bytes>(v_) == std::get<Bytes>(other.v_);
    case Kind::List: {
      const List& a = as_list();
      const List& b = other.as_list();
      if (&a == &b) return true;
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i)
        if (!(a[i] == b[i])) return false;
      return true;
    }
    case Kind::Dict: {
      const Dict& a = as_dict();
      const Dict& b = other.as_dict();
      if (&a == &b) return true;
      if (a.size() != b.size()) return false;
      // Key order does not matter for dict equality.
      for (const auto& [k, v] : a.items()) {
        const Value* w = b.find(k);
        if (!w || !(v == *w)) return false;
      }
      return true;
    }
    case Kind::Handle:
      return std::get<std::shared_ptr<Handle>>(v_) == std::get<std::shared_ptr<Handle>>(other.v_);
    default: return false;
  }
}

bool num_eq(const Value& v, int64_t n) { return v.is_number() && v == Value(n); }

namespace {

Value copy_into(const Value& v, std::map<const void*, Value>& made) {
  if (v.is_list()) {
    const std::shared_ptr<List> from = v.list_ptr();
    if (auto it = made.find(from.get()); it != made.end()) return it->second;
    Value to = Value::list();
    made.emplace(from.get(), to);
    for (const Value& item : *from) to.as_list().push_back(copy_into(item, made));
    return to;
  }
  if (v.is_dict()) {
    const std::shared_ptr<Dict> from = v.dict_ptr();
    if (auto it = made.find(from.get()); it != made.end()) return it->second;
    Value to = Value::dict();
    made.emplace(from.get(), to);
    for (const auto& [key, item] : from->items()) to.set(key, copy_into(item, made));
    return to;
  }
  return v;
}

}  // namespace

Value deep_copy(const Value& v) {
  std::map<const void*, Value> made;
  return copy_into(v, made);
}

}  // namespace img_util
