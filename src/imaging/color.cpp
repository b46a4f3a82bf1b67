#include "imaging/color.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "img_util/ascii.hpp"
#include "img_util/errors.hpp"

namespace img_util::imaging {
namespace {

struct NamedColor {
  const char* name;
  uint8_t r, g, b;
};

// The CSS colour keywords, sorted by name for binary search.
constexpr NamedColor kNames[] = {
    {"aliceblue", 240, 248, 255},
    {"antiquewhite", 250, 235, 215},
    {"aqua", 0, 255, 255},
    {"aquamarine", 127, 255, 212},
    {"azure", 240, 255, 255},
    {"beige", 245, 245, 220},
    {"bisque", 255, 228, 196},
    {"black", 0, 0, 0},
    {"blanchedalmond", 255, 235, 205},
    {"blue", 0, 0, 255},
    {"blueviolet", 138, 43, 226},
    {"brown", 165, 42, 42},
    {"burlywood", 222, 184, 135},
    {"cadetblue", 95, 158, 160},
    {"chartreuse", 127, 255, 0},
    {"chocolate", 210, 105, 30},
    {"coral", 255, 127, 80},
    {"cornflowerblue", 100, 149, 237},
    {"cornsilk", 255, 248, 220},
    {"crimson", 220, 20, 60},
    {"cyan", 0, 255, 255},
    {"darkblue", 0, 0, 139},
    {"darkcyan", 0, 139, 139},
    {"darkgoldenrod", 184, 134, 11},
    {"darkgray", 169, 169, 169},
    {"darkgreen", 0, 100, 0},
    {"darkgrey", 169, 169, 169},
    {"darkkhaki", 189, 183, 107},
    {"darkmagenta", 139, 0, 139},
    {"darkolivegreen", 85, 107, 47},
    {"darkorange", 255, 140, 0},
    {"darkorchid", 153, 50, 204},
    {"darkred", 139, 0, 0},
    {"darksalmon", 233, 150, 122},
    {"darkseagreen", 143, 188, 143},
    {"darkslateblue", 72, 61, 139},
    {"darkslategray", 47, 79, 79},
    {"darkslategrey", 47, 79, 79},
    {"darkturquoise", 0, 206, 209},
    {"darkviolet", 148, 0, 211},
    {"deeppink", 255, 20, 147},
    {"deepskyblue", 0, 191, 255},
    {"dimgray", 105, 105, 105},
    {"dimgrey", 105, 105, 105},
    {"dodgerblue", 30, 144, 255},
    {"firebrick", 178, 34, 34},
    {"floralwhite", 255, 250, 240},
    {"forestgreen", 34, 139, 34},
    {"fuchsia", 255, 0, 255},
    {"gainsboro", 220, 220, 220},
    {"ghostwhite", 248, 248, 255},
    {"gold", 255, 215, 0},
    {"goldenrod", 218, 165, 32},
    {"gray", 128, 128, 128},
    {"green", 0, 128, 0},
    {"greenyellow", 173, 255, 47},
    {"grey", 128, 128, 128},
    {"honeydew", 240, 255, 240},
    {"hotpink", 255, 105, 180},
    {"indianred", 205, 92, 92},
    {"indigo", 75, 0, 130},
    {"ivory", 255, 255, 240},
    {"khaki", 240, 230, 140},
    {"lavender", 230, 230, 250},
    {"lavenderblush", 255, 240, 245},
    {"lawngreen", 124, 252, 0},
    {"lemonchiffon", 255, 250, 205},
    {"lightblue", 173, 216, 230},
    {"lightcoral", 240, 128, 128},
    {"lightcyan", 224, 255, 255},
    {"lightgoldenrodyellow", 250, 250, 210},
    {"lightgray", 211, 211, 211},
    {"lightgreen", 144, 238, 144},
    {"lightgrey", 211, 211, 211},
    {"lightpink", 255, 182, 193},
    {"lightsalmon", 255, 160, 122},
    {"lightseagreen", 32, 178, 170},
    {"lightskyblue", 135, 206, 250},
    {"lightslategray", 119, 136, 153},
    {"lightslategrey", 119, 136, 153},
    {"lightsteelblue", 176, 196, 222},
    {"lightyellow", 255, 255, 224},
    {"lime", 0, 255, 0},
    {"limegreen", 50, 205, 50},
    {"linen", 250, 240, 230},
    {"magenta", 255, 0, 255},
    {"maroon", 128, 0, 0},
    {"mediumaquamarine", 102, 205, 170},
    {"mediumblue", 0, 0, 205},
    {"mediumorchid", 186, 85, 211},
    {"mediumpurple", 147, 112, 219},
    {"mediumseagreen", 60, 179, 113},
    {"mediumslateblue", 123, 104, 238},
    {"mediumspringgreen", 0, 250, 154},
    {"mediumturquoise", 72, 209, 204},
    {"mediumvioletred", 199, 21, 133},
    {"midnightblue", 25, 25, 112},
    {"mintcream", 245, 255, 250},
    {"mistyrose", 255, 228, 225},
    {"moccasin", 255, 228, 181},
    {"navajowhite", 255, 222, 173},
    {"navy", 0, 0, 128},
    {"oldlace", 253, 245, 230},
    {"olive", 128, 128, 0},
    {"olivedrab", 107, 142, 35},
    {"orange", 255, 165, 0},
    {"orangered", 255, 69, 0},
    {"orchid", 218, 112, 214},
    {"palegoldenrod", 238, 232, 170},
    {"palegreen", 152, 251, 152},
    {"paleturquoise", 175, 238, 238},
    {"palevioletred", 219, 112, 147},
    {"papayawhip", 255, 239, 213},
    {"peachpuff", 255, 218, 185},
    {"peru", 205, 133, 63},
    {"pink", 255, 192, 203},
    {"plum", 221, 160, 221},
    {"powderblue", 176, 224, 230},
    {"purple", 128, 0, 128},
    {"rebeccapurple", 102, 51, 153},
    {"red", 255, 0, 0},
    {"rosybrown", 188, 143, 143},
    {"royalblue", 65, 105, 225},
    {"saddlebrown", 139, 69, 19},
    {"salmon", 250, 128, 114},
    {"sandybrown", 244, 164, 96},
    {"seagreen", 46, 139, 87},
    {"seashell", 255, 245, 238},
    {"sienna", 160, 82, 45},
    {"silver", 192, 192, 192},
    {"skyblue", 135, 206, 235},
    {"slateblue", 106, 90, 205},
    {"slategray", 112, 128, 144},
    {"slategrey", 112, 128, 144},
    {"snow", 255, 250, 250},
    {"springgreen", 0, 255, 127},
    {"steelblue", 70, 130, 180},
    {"tan", 210, 180, 140},
    {"teal", 0, 128, 128},
    {"thistle", 216, 191, 216},
    {"tomato", 255, 99, 71},
    {"turquoise", 64, 224, 208},
    {"violet", 238, 130, 238},
    {"wheat", 245, 222, 179},
    {"white", 255, 255, 255},
    {"whitesmoke", 245, 245, 245},
    {"yellow", 255, 255, 0},
    {"yellowgreen", 154, 205, 50},
};

[[noreturn]] void unknown(std::string_view notation) {
  // Quote the way the host prints a text, so the value is recognisable in an error line.
  std::string shown;
  for (unsigned char c : notation) {
    if (c == '\\' || c == '\'') {
      shown += '\\';
      shown += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      static const char* hex = "0123456789abcdef";
      if (c == '\n')
        shown += "\\n";
      else if (c == '\t')
        shown += "\\t";
      else if (c == '\r')
        shown += "\\r";
      else {
        shown += "\\x";
        shown += hex[c >> 4];
        shown += hex[c & 15];
      }
    } else {
      shown += static_cast<char>(c);
    }
  }
  throw ValueError("unknown color specifier: '" + shown + "'");
}

uint8_t clip8(double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0)); }
uint8_t clip8(int64_t v) { return static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 255)); }

// A tiny cursor over the colour text, for the functional notations.
class Scanner {
 public:
  explicit Scanner(std::string_view s) : s_(s) {}
  bool literal(std::string_view lit) {
    if (s_.substr(pos_, lit.size()) != lit) return false;
    pos_ += lit.size();
    return true;
  }
  void spaces() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || (s_[pos_] >= '\t' && s_[pos_] <= '\r'))) ++pos_;
  }
  // One or more decimal digits; saturates far above any colour component.
  std::optional<int64_t> integer() {
    size_t start = pos_;
    int64_t v = 0;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
      v = std::min<int64_t>(v * 10 + (s_[pos_] - '0'), int64_t{1} << 40);
      ++pos_;
    }
    if (pos_ == start) return std::nullopt;
    return v;
  }
  // digits, optionally followed by "." and more digits.
  std::optional<double> real() {
    size_t start = pos_;
    if (!integer()) return std::nullopt;
    if (pos_ < s_.size() && s_[pos_] == '.') {
      ++pos_;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    }
    return std::strtod(std::string(s_.substr(start, pos_ - start)).c_str(), nullptr);
  }
  bool at_end() const { return pos_ == s_.size(); }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

// "name(" ws V ws "," ws V ws "," ... ws ")" with `count` values, each read by `read`
// and followed by "%" when `percent[i]`.
template <typename T, typename Read>
std::optional<std::vector<T>> functional(std::string_view s, std::string_view name, int count,
                                         std::array<bool, 4> percent, Read read) {
  Scanner sc(s);
  if (!sc.literal(name) || !sc.literal("(")) return std::nullopt;
  std::vector<T> out;
  for (int i = 0; i < count; ++i) {
    if (i > 0 && !sc.literal(",")) return std::nullopt;
    sc.spaces();
    auto v = read(sc);
    if (!v) return std::nullopt;
    if (percent[i] && !sc.literal("%")) return std::nullopt;
    sc.spaces();
    out.push_back(*v);
  }
  if (!sc.literal(")") || !sc.at_end()) return std::nullopt;
  return out;
}

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

double py_mod1(double v) {
  double r = std::fmod(v, 1.0);
  if (r < 0) r += 1.0;
  return r;
}

double hls_value(double m1, double m2, double hue) {
  hue = py_mod1(hue);
  if (hue < 1.0 / 6.0) return m1 + (m2 - m1) * hue * 6.0;
  if (hue < 0.5) return m2;
  if (hue < 2.0 / 3.0) return m1 + (m2 - m1) * (2.0 / 3.0 - hue) * 6.0;
  return m1;
}

// Component of a 0..1 colour model as an 8-bit value: round half up, then truncate toward
// zero, then clip (the order the host's conversion uses).
uint8_t unit_to_8(double v) { return clip8(std::trunc(v * 255 + 0.5)); }

Rgba from_hls(double h, double l, double s) {
  if (s == 0.0) return {unit_to_8(l), unit_to_8(l), unit_to_8(l), 255};
  double m2 = l <= 0.5 ? l * (1.0 + s) : l + s - (l * s);
  double m1 = 2.0 * l - m2;
  return {unit_to_8(hls_value(m1, m2, h + 1.0 / 3.0)), unit_to_8(hls_value(m1, m2, h)),
          unit_to_8(hls_value(m1, m2, h - 1.0 / 3.0)), 255};
}

Rgba from_hsv(double h, double s, double v) {
  if (s == 0.0) return {unit_to_8(v), unit_to_8(v), unit_to_8(v), 255};
  auto i = static_cast<int64_t>(h * 6.0);
  double f = (h * 6.0) - static_cast<double>(i);
  double p = v * (1.0 - s), q = v * (1.0 - s * f), t = v * (1.0 - s * (1.0 - f));
  double r, g, b;
  switch (((i % 6) + 6) % 6) {
    case 0: r = v, g = t, b = p; break;
    case 1: r = q, g = v, b = p; break;
    case 2: r = p, g = v, b = t; break;
    case 3: r = p, g = q, b = v; break;
    case 4: r = t, g = p, b = v; break;
    default: r = v, g = p, b = q; break;
  }
  return {unit_to_8(r), unit_to_8(g), unit_to_8(b), 255};
}

}  // namespace

Rgba parse_color(std::string_view notation) {
  if (notation.size() > 100) throw ValueError("color specifier is too long");
  const std::string lower = ascii_lower(notation);

  auto named = std::lower_bound(
      std::begin(kNames), std::end(kNames), lower,
      [](const NamedColor& n, const std::string& key) { return key.compare(n.name) > 0; });
  if (named != std::end(kNames) && lower == named->name) return {named->r, named->g, named->b, 255};

  // The notations below may be followed by one line break, as the host's patterns allow.
  std::string_view s = lower;
  if (!s.empty() && s.back() == '\n') s.remove_suffix(1);

  if (!s.empty() && s[0] == '#') {
    std::string_view hex = s.substr(1);
    bool ok = hex.size() == 3 || hex.size() == 4 || hex.size() == 6 || hex.size() == 8;
    for (char c : hex) ok = ok && hexval(c) >= 0;
    if (ok) {
      Rgba out{0, 0, 0, 255};
      if (hex.size() <= 4) {
        for (size_t i = 0; i < hex.size(); ++i) out[i] = static_cast<uint8_t>(hexval(hex[i]) * 17);
      } else {
        for (size_t i = 0; i < hex.size() / 2; ++i)
          out[i] = static_cast<uint8_t>(hexval(hex[2 * i]) * 16 + hexval(hex[2 * i + 1]));
      }
      return out;
    }
  }

  auto read_int = [](Scanner& sc) { return sc.integer(); };
  auto read_real = [](Scanner& sc) { return sc.real(); };
  if (auto v = functional<int64_t>(s, "rgb", 3, {false, false, false, false}, read_int))
    return {clip8((*v)[0]), clip8((*v)[1]), clip8((*v)[2]), 255};
  if (auto v = functional<int64_t>(s, "rgb", 3, {true, true, true, false}, read_int)) {
    Rgba out{0, 0, 0, 255};
    for (int i = 0; i < 3; ++i)
      out[i] = clip8(static_cast<int64_t>(static_cast<double>((*v)[i] * 255) / 100.0 + 0.5));
    return out;
  }
  if (auto v = functional<double>(s, "hsl", 3, {false, true, true, false}, read_real))
    return from_hls((*v)[0] / 360.0, (*v)[2] / 100.0, (*v)[1] / 100.0);
  for (std::string_view name : {"hsb", "hsv"})
    if (auto v = functional<double>(s, name, 3, {false, true, true, false}, read_real))
      return from_hsv((*v)[0] / 360.0, (*v)[1] / 100.0, (*v)[2] / 100.0);
  if (auto v = functional<int64_t>(s, "rgba", 4, {false, false, false, false}, read_int))
    return {clip8((*v)[0]), clip8((*v)[1]), clip8((*v)[2]), clip8((*v)[3])};

  unknown(notation);
}

}  // namespace img_util::imaging
