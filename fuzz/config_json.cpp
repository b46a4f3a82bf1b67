// The configuration reader as the command-line tool uses it: JSON text to a value, the kinds of
// its keys checked, and the value written back as the run log stores it. What is written must
// read back to the same value (the run log is read by tools that parse it).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cli.hpp"
#include "fuzz.hpp"
#include "img_util/errors.hpp"
#include "img_util/value.hpp"

using namespace img_util;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  Value cfg;
  try {
    cfg = parse_json(text);
  } catch (const ValueError&) {
    return 0;
  }
  // The log's form of the value is a fixed point: reading and writing it changes nothing.
  const std::string written = to_json(cfg);
  const std::string again = to_json(parse_json(written));
  if (again != written) {
    std::fprintf(stderr, "to_json does not read back:\n%s\n%s\n", written.c_str(), again.c_str());
    std::abort();
  }
  (void)py_repr(cfg);
  if (cfg.is_dict()) (void)cli::check_config(cfg);
  return 0;
}
