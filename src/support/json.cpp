// JSON in and out. Output matches Python's json.dumps with its defaults byte for byte, so the
// run log's records read the same whichever front end wrote them.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include "img_util/errors.hpp"
#include "img_util/value.hpp"
#include "support/pyfloat.hpp"
#include "support/utf8.hpp"

namespace img_util {

namespace {

class Parser {
 public:
  Parser(std::string_view text, DuplicateKeys duplicates) : s_(text), duplicates_(duplicates) {}

  Value document() {
    skip_ws();
    Value v = value(0);
    skip_ws();
    if (pos_ != s_.size()) fail("Extra data");
    return v;
  }

 private:
  static constexpr int kMaxDepth = 512;

  [[noreturn]] void fail(const std::string& what) const {
    throw ValueError(what + ": " + position());
  }

  std::string position() const {
    size_t line = 1, col = 1;
    for (size_t i = 0; i < pos_ && i < s_.size(); ++i) {
      if (s_[i] == '\n') {
        ++line;
        col = 1;
      } else {
        ++col;
      }
    }
    return "line " + std::to_string(line) + " column " + std::to_string(col) + " (char " +
           std::to_string(pos_) + ")";
  }

  void skip_ws() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
      ++pos_;
  }

  bool take(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  Value value(int depth) {
    if (depth > kMaxDepth) fail("Nesting too deep");
    if (pos_ >= s_.size()) fail("Expecting value");
    const char c = s_[pos_];
    if (c == '{') return object(depth);
    if (c == '[') return array(depth);
    if (c == '"') return Value(string());
    if (take("null")) return Value();
    if (take("true")) return Value(true);
    if (take("false")) return Value(false);
    if (take("NaN")) return Value(std::nan(""));
    if (take("Infinity")) return Value(HUGE_VAL);
    if (take("-Infinity")) return Value(-HUGE_VAL);
    if (c == '-' || (c >= '0' && c <= '9')) return number();
    fail("Expecting value");
  }

  Value number() {
    const size_t start = pos_;
    if (s_[pos_] == '-') ++pos_;
    const auto digits = [&] {
      const size_t from = pos_;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
      return pos_ - from;
    };
    if (pos_ < s_.size() && s_[pos_] == '0') {
      ++pos_;
    } else if (digits() == 0) {
      pos_ = start;
      fail("Expecting value");
    }
    bool is_float = false;
    if (pos_ < s_.size() && s_[pos_] == '.') {
      const size_t dot = pos_++;
      if (digits() == 0) {
        pos_ = dot;  // "1." reads as 1 followed by extra data, as Python does
      } else {
        is_float = true;
      }
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      const size_t e = pos_++;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      if (digits() == 0) {
        pos_ = e;
      } else {
        is_float = true;
      }
    }
    const char* first = s_.data() + start;
    const char* last = s_.data() + pos_;
    if (!is_float) {
      int64_t i = 0;
      auto r = std::from_chars(first, last, i);
      if (r.ec == std::errc() && r.ptr == last) return Value(i);
      // Beyond 64 bits: keep the magnitude as a float rather than fail.
    }
    double d = 0;
    auto r = std::from_chars(first, last, d);
    if (r.ec == std::errc::result_out_of_range) d = (*first == '-') ? -HUGE_VAL : HUGE_VAL;
    return Value(d);
  }

  uint32_t hex4() {
    if (pos_ + 4 > s_.size()) fail("Invalid \\uXXXX escape");
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[pos_ + k];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= c - '0';
      else if (c >= 'a' && c <= 'f')
        v |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        v |= c - 'A' + 10;
      else
        fail("Invalid \\uXXXX escape");
    }
    pos_ += 4;
    return v;
  }

  std::string string() {
    ++pos_;  // opening quote
    std::string out;
    while (true) {
      if (pos_ >= s_.size()) fail("Unterminated string starting at");
      const char c = s_[pos_];
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (static_cast<uint8_t>(c) < 0x20) fail("Invalid control character at");
      if (c != '\\') {
        out += c;
        ++pos_;
        continue;
      }
      ++pos_;
      if (pos_ >= s_.size()) fail("Unterminated string starting at");
      const char e = s_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t cp = hex4();
          if (cp >= 0xD800 && cp <= 0xDBFF && s_.substr(pos_, 2) == "\\u") {
            const size_t save = pos_;
            pos_ += 2;
            const uint32_t lo = hex4();
            if (lo >= 0xDC00 && lo <= 0xDFFF)
              cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            else
              pos_ = save;
          }
          utf8::append(out, cp);  // a lone surrogate stays as its three-byte form
          break;
        }
        default: --pos_; fail("Invalid \\escape");
      }
    }
  }

  Value array(int depth) {
    ++pos_;
    List items;
    skip_ws();
    if (take("]")) return Value(std::move(items));
    while (true) {
      skip_ws();
      items.push_back(value(depth + 1));
      skip_ws();
      if (take(",")) continue;
      if (take("]")) return Value(std::move(items));
      fail("Expecting ',' delimiter");
    }
  }

  Value object(int depth) {
    ++pos_;
    Dict d;
    skip_ws();
    if (take("}")) return Value(std::move(d));
    while (true) {
      skip_ws();
      if (pos_ >= s_.size() || s_[pos_] != '"')
        fail("Expecting property name enclosed in double quotes");
      const size_t key_pos = pos_;
      std::string key = string();
      if (duplicates_ == DuplicateKeys::Refuse && d.contains(key)) {
        pos_ = key_pos;
        throw DuplicateKeyError(key, position());
      }
      skip_ws();
      if (!take(":")) fail("Expecting ':' delimiter");
      skip_ws();
      d.set(key, value(depth + 1));  // a repeated key keeps its first place, last value
      skip_ws();
      if (take(",")) continue;
      if (take("}")) return Value(std::move(d));
      fail("Expecting ',' delimiter");
    }
  }

  std::string_view s_;
  DuplicateKeys duplicates_;
  size_t pos_ = 0;
};

void append_u(std::string& out, uint32_t unit) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", unit);
  out += buf;
}

void write_string(std::string& out, std::string_view s) {
  out += '"';
  for (size_t i = 0; i < s.size();) {
    const size_t start = i;
    const int32_t cp = utf8::next(s, i);
    if (cp < 0) {
      // A byte that is not UTF-8 is written as Python's surrogate escape of it would be.
      append_u(out, 0xDC00 + static_cast<uint8_t>(s[start]));
      continue;
    }
    const auto c = static_cast<uint32_t>(cp);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\b': out += "\\b"; continue;
      case '\f': out += "\\f"; continue;
      default: break;
    }
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (c < 0x10000) {
      append_u(out, c);
    } else {
      const uint32_t v = c - 0x10000;
      append_u(out, 0xD800 | (v >> 10));
      append_u(out, 0xDC00 | (v & 0x3FF));
    }
  }
  out += '"';
}

void write(std::string& out, const Value& v, int depth = 0) {
  // Only a container that holds itself nests this deep.
  if (depth > 1000) throw ValueError("Circular reference detected");
  switch (v.kind()) {
    case Value::Kind::None: out += "null"; return;
    case Value::Kind::Bool: out += v.as_bool() ? "true" : "false"; return;
    case Value::Kind::Int: out += std::to_string(v.as_int()); return;
    case Value::Kind::Float: {
      const double d = v.as_number();
      if (std::isnan(d))
        out += "NaN";
      else if (std::isinf(d))
        out += d < 0 ? "-Infinity" : "Infinity";
      else
        out += py_float_repr(d);
      return;
    }
    case Value::Kind::Text: write_string(out, v.as_text()); return;
    case Value::Kind::List: {
      out += '[';
      bool first = true;
      for (const Value& item : v.as_list()) {
        if (!first) out += ", ";
        first = false;
        write(out, item, depth + 1);
      }
      out += ']';
      return;
    }
    case Value::Kind::Dict: {
      out += '{';
      bool first = true;
      for (const auto& [k, item] : v.as_dict().items()) {
        if (!first) out += ", ";
        first = false;
        write_string(out, k);
        out += ": ";
        write(out, item, depth + 1);
      }
      out += '}';
      return;
    }
    case Value::Kind::Bytes:
    case Value::Kind::Handle:
      throw TypeError("Object of type " + v.type_name() + " is not JSON serializable");
  }
}

}  // namespace

DuplicateKeyError::DuplicateKeyError(std::string key, std::string where)
    : ValueError("Duplicate key " + py_repr(std::string_view(key)) + ": " + where),
      key_(std::move(key)),
      where_(std::move(where)) {}

Value parse_json(std::string_view text, DuplicateKeys duplicates) {
  return Parser(text, duplicates).document();
}

std::string to_json(const Value& v) {
  std::string out;
  write(out, v);
  return out;
}

}  // namespace img_util
