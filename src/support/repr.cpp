// Python's printed forms: repr() of texts and values, and the tuple lines the module prints.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <string>

#include "img_util/value.hpp"
#include "support/pyfloat.hpp"
#include "support/utf8.hpp"

namespace img_util {

namespace {

struct Range {
  uint32_t first, last;
};
constexpr Range kPrintable[] = {
#include "support/unicode_printable.inc"
};

// Python's str.isprintable() for one code point above U+007F.
bool printable_non_ascii(uint32_t cp) {
  auto it = std::upper_bound(std::begin(kPrintable), std::end(kPrintable), cp,
                             [](uint32_t c, const Range& r) { return c < r.first; });
  if (it == std::begin(kPrintable)) return false;
  --it;
  return cp <= it->last;
}

void append_hex(std::string& out, const char* prefix, uint32_t v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*x", digits, v);
  out += prefix;
  out += buf;
}

char choose_quote(std::string_view s) {
  const bool single = s.find('\'') != std::string_view::npos;
  const bool dbl = s.find('"') != std::string_view::npos;
  return single && !dbl ? '"' : '\'';
}

// Escapes for the characters both str and bytes repr treat alike; false when none applies.
bool append_common_escape(std::string& out, uint32_t c, char quote) {
  switch (c) {
    case '\\': out += "\\\\"; return true;
    case '\t': out += "\\t"; return true;
    case '\n': out += "\\n"; return true;
    case '\r': out += "\\r"; return true;
    default: break;
  }
  if (c == static_cast<uint8_t>(quote)) {
    out += '\\';
    out += quote;
    return true;
  }
  if (c < 0x20 || c == 0x7F) {
    append_hex(out, "\\x", c, 2);
    return true;
  }
  return false;
}

std::string bytes_repr(std::string_view s) {
  const char quote = choose_quote(s);
  std::string out = "b";
  out += quote;
  for (char ch : s) {
    const auto c = static_cast<uint8_t>(ch);
    if (append_common_escape(out, c, quote)) continue;
    if (c >= 0x80)
      append_hex(out, "\\x", c, 2);
    else
      out += ch;
  }
  out += quote;
  return out;
}

}  // namespace

std::string py_float_repr(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  // Shortest round-trip digits in scientific form: "-d.ddde+XX".
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  std::string out;
  if (!sci.empty() && sci[0] == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e))
    if (c != '.') digits += c;
  int exp10 = 0;
  std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+' ? 1 : 0), sci.data() + sci.size(), exp10);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const int decpt = exp10 + 1;  // value = 0.DIGITS * 10^decpt
  const int n = static_cast<int>(digits.size());
  if (digits == "0") return out + "0.0";
  if (decpt <= -4 || decpt > 16) {
    out += digits[0];
    if (n > 1) {
      out += '.';
      out += digits.substr(1);
    }
    char eb[16];
    std::snprintf(eb, sizeof eb, "e%c%02d", exp10 < 0 ? '-' : '+', std::abs(exp10));
    return out + eb;
  }
  if (decpt <= 0) return out + "0." + std::string(static_cast<size_t>(-decpt), '0') + digits;
  if (decpt < n)
    return out + digits.substr(0, static_cast<size_t>(decpt)) + "." +
           digits.substr(static_cast<size_t>(decpt));
  return out + digits + std::string(static_cast<size_t>(decpt - n), '0') + ".0";
}

std::string py_repr(std::string_view text) {
  const char quote = choose_quote(text);
  std::string out(1, quote);
  for (size_t i = 0; i < text.size();) {
    const size_t start = i;
    const int32_t cp = utf8::next(text, i);
    if (cp < 0) {  // a byte that is not UTF-8
      append_hex(out, "\\x", static_cast<uint8_t>(text[start]), 2);
      continue;
    }
    const auto c = static_cast<uint32_t>(cp);
    if (c < 0x80) {
      if (!append_common_escape(out, c, quote)) out += static_cast<char>(c);
    } else if (printable_non_ascii(c)) {
      out.append(text.substr(start, i - start));
    } else if (c <= 0xFF) {
      append_hex(out, "\\x", c, 2);
    } else if (c <= 0xFFFF) {
      append_hex(out, "\\u", c, 4);
    } else {
      append_hex(out, "\\U", c, 8);
    }
  }
  out += quote;
  return out;
}

std::string py_repr(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::None: return "None";
    case Value::Kind::Bool: return v.as_bool() ? "True" : "False";
    case Value::Kind::Int: return std::to_string(v.as_int());
    case Value::Kind::Float: return py_float_repr(v.as_number());
    case Value::Kind::Text: return py_repr(std::string_view(v.as_text()));
    case Value::Kind::Bytes: return bytes_repr(v.as_bytes().data);
    case Value::Kind::List: {
      std::string out = "[";
      bool first = true;
      for (const Value& item : v.as_list()) {
        if (!first) out += ", ";
        first = false;
        out += py_repr(item);
      }
      return out + "]";
    }
    case Value::Kind::Dict: {
      std::string out = "{";
      bool first = true;
      for (const auto& [k, item] : v.as_dict().items()) {
        if (!first) out += ", ";
        first = false;
        out += py_repr(std::string_view(k));
        out += ": ";
        out += py_repr(item);
      }
      return out + "}";
    }
    case Value::Kind::Handle: {
      // Built piecewise: GCC 12 warns wrongly (-Wrestrict) on "<" + std::string&&.
      std::string out = "<";
      out += v.type_name();
      out += " object>";
      return out;
    }
  }
  return "?";
}

std::string tuple_line(std::initializer_list<std::string_view> items) {
  std::string out = "(";
  bool first = true;
  for (std::string_view item : items) {
    if (!first) out += ", ";
    first = false;
    out += py_repr(item);
  }
  if (items.size() == 1) out += ",";
  return out + ")";
}

}  // namespace img_util
