// gifsicle: a lossy pass over a whole animated GIF with the external gifsicle tool.
//
// The tool lives in the plugin directory (or else on PATH) and writes the scratch GIF there; its
// result replaces the target only when the tool succeeded and the result is smaller than the
// source.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/value.hpp"
#include "operations/count.hpp"
#include "operations/marker.hpp"
#include "operations/output_place.hpp"
#include "support/atomic_file.hpp"
#include "support/files.hpp"
#include "support/spawn.hpp"

namespace img_util {
namespace {

// A value as Python's str() writes it: text as it is, everything else as its repr.
std::string text_form(const Value& v) { return v.is_text() ? v.as_text() : py_repr(v); }

// Decimal digits of 2**n for n >= 0, exact (base 10^9 limbs, least significant first).
std::string exact_power_of_two(int64_t n) {
  std::vector<uint32_t> limbs{1};
  constexpr uint32_t kBase = 1000000000;
  int64_t left = n;
  while (left > 0) {
    int step = static_cast<int>(std::min<int64_t>(left, 29));  // 2^29 * 10^9 fits in 64 bits
    uint64_t carry = 0;
    for (uint32_t& limb : limbs) {
      uint64_t v = (static_cast<uint64_t>(limb) << step) + carry;
      limb = static_cast<uint32_t>(v % kBase);
      carry = v / kBase;
    }
    while (carry > 0) {
      limbs.push_back(static_cast<uint32_t>(carry % kBase));
      carry /= kBase;
    }
    left -= step;
  }
  std::string out = std::to_string(limbs.back());
  for (size_t i = limbs.size() - 1; i-- > 0;) {
    std::string part = std::to_string(limbs[i]);
    out += std::string(9 - part.size(), '0') + part;
  }
  return out;
}

// The palette size for the tool: 2 raised to `gif_color`, written as Python writes 2 ** x (an
// exact integer for a non-negative integer exponent, a float otherwise).
std::string palette_size_text(const Value& exponent) {
  if (exponent.is_bool() || exponent.is_int()) {
    int64_t n = exponent.as_int();
    if (n >= 0) {
      // Anything near this bound is meaningless to the tool; it only keeps the digits finite.
      if (n > 100000) throw ValueError("gif_color is too large: " + std::to_string(n));
      return exact_power_of_two(n);
    }
    return py_repr(Value(std::ldexp(1.0, static_cast<int>(std::max<int64_t>(n, -2000)))));
  }
  if (exponent.is_float()) {
    double x = exponent.as_number();
    double r = std::pow(2.0, x);
    if (std::isinf(r) && std::isfinite(x))
      throw ValueError("gif_color is too large: 2 ** " + py_repr(exponent) + " is out of range");
    return py_repr(Value(r));
  }
  throw TypeError("unsupported operand type(s) for ** or pow(): 'int' and '" +
                  exponent.type_name() + "'");
}

// The tool in the plugin directory, or else the one a shell would find on PATH. Neither is
// an error of this file: a missing tool must not pass for "no smaller result".
std::string lossy_tool() {
  std::string own = basedir() + "/gifsicle";
  struct stat st {};
  if (::stat(own.c_str(), &st) == 0) return own;
  if (std::optional<std::string> found = support::find_on_path("gifsicle")) return *found;
  throw OSError(ENOENT, own, "No gifsicle in the plugin directory nor on PATH");
}

}  // namespace

void IMAGES::gifsicle(const std::string& fpath, const Value& cfg) {
  if (debug()) print_line(tuple_line({fpath, "start"}));
  const std::string path2 = basedir() + "/tmp.gif";
  const int64_t size1 = file_size(fpath);

  const std::string qty = text_form(cfg.at("gif_qty"));
  const std::string colors = palette_size_text(cfg.at("gif_color"));
  const std::string loss = text_form(cfg.at("gif_loss"));
  // A relative name starting with "-" would read as an option; "./" names the same file.
  const std::string source = fpath.starts_with("-") ? "./" + fpath : fpath;
  const std::vector<std::string> argv{lossy_tool(), source, "-" + qty,
                                      "--colors",   colors, "--lossy=" + loss};
  const support::ExitStatus status = support::run_program(argv, path2);
  if (status.spawn_error != 0)
    throw OSError(status.spawn_error, argv[0], "Cannot start the lossy GIF tool");

  // A tool that failed may have left a partial GIF behind: only a clean exit counts.
  const int64_t size2 = file_size(path2);
  if (!status.ok() || size2 <= 0 || size2 >= size1) {
    note_unchanged("gifsicle made nothing smaller");
    return;
  }

  refuse_link_leaving_folder(fpath, cfg);
  backup(fpath, cfg);
  FilePlace place = output_place(fpath, cfg);
  // The marker is chosen before anything is written, so a target never lacks it.
  const std::string_view marker = marker_for(cfg);
  const std::string data = read_whole_file(path2);
  write_file_atomically(std::move(place), {data, marker});
  note_written(static_cast<int64_t>(data.size() + marker.size()));

  count_one(cfg, "compresscount");
  if (debug()) print_line(tuple_line({fpath, "done"}));
}

}  // namespace img_util
