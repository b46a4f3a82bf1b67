// The kinds of the configuration keys, checked before a run so that a mistyped setting is
// reported once, naming the key, instead of failing every file.
#include <string>

#include "cli.hpp"
#include "img_util/value.hpp"

namespace img_util::cli {

namespace {

// What a key may hold. Several may be combined.
enum Accept : unsigned {
  kText = 1,
  kNumber = 2,   // int or float (not true/false)
  kSwitch = 4,   // true/false, or a number read for its truth
  kNull = 8,
  kFalse = 16,   // false meaning "unset", where a false value is replaced by a default
  kTextList = 32,
};

struct KeyRule {
  const char* key;
  unsigned accept;
  const char* expected;  // how the message names it
};

constexpr KeyRule kRules[] = {
    {"folder", kText, "a path text"},
    {"subfold", kSwitch | kNull, "true or false"},
    {"jumperr", kSwitch | kNull, "true or false"},
    {"maskmode", kNumber, "a number (1, 2 or 3)"},
    {"outpath", kText | kNull | kFalse, "a path text"},
    {"exts", kText | kTextList, "a text or a list of texts"},
    {"_exts", kText, "a text"},
    {"utimemode", kSwitch | kNull, "a number (0, 1 or 2)"},
    {"utime", kText | kNull | kFalse, "a text"},
    {"minsize", kNumber | kNull | kFalse, "a number"},
    {"minwidth", kNumber | kNull | kFalse, "a number"},
    {"isprotect", kSwitch | kNull, "true or false"},
    {"isaprotect", kSwitch | kNull, "true or false"},
    {"isbackup", kSwitch | kNull, "true or false"},
    {"allmaxsize", kNumber, "a number"},
    {"iscompress", kSwitch | kNull, "true or false"},
    {"yswidth", kNumber | kNull | kFalse, "a number"},
    {"ysheight", kNumber | kNull | kFalse, "a number"},
    {"ctrsize", kNumber | kNull | kFalse, "a number"},
    {"quality", kNumber | kNull | kFalse, "a number"},
    {"optimize", kSwitch | kNull, "true or false"},
    {"tmpPath", kText | kNull | kFalse, "a path text"},
    {"masktext", kText, "a text"},
    {"fontttf", kText, "a path text"},
    {"fontsize", kNumber | kNull | kFalse, "a number"},
    {"rgba", kText | kNull | kFalse, "a colour text"},
    {"maskimgPath", kText, "a path text"},
    {"maskscale", kNumber | kNull | kFalse, "a number"},
    {"maskopacity", kNumber | kNull | kFalse, "a number"},
    {"markpos", kText, "a text"},
    {"marginx", kNumber | kNull | kFalse, "a number"},
    {"marginy", kNumber | kNull | kFalse, "a number"},
    {"clearexif", kSwitch | kNull, "true or false"},
    {"isopaque", kSwitch | kNull, "true or false"},
    {"isgifsicle", kSwitch | kNull, "true or false"},
    {"gif_qty", kText | kNumber, "a text or a number"},
    {"gif_color", kNumber, "a number"},
    {"gif_loss", kText | kNumber, "a text or a number"},
};

bool accepts(unsigned accept, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Text: return accept & kText;
    case Value::Kind::Int:
    case Value::Kind::Float: return accept & (kNumber | kSwitch);
    case Value::Kind::Bool: return (accept & kSwitch) || (!v.as_bool() && (accept & kFalse));
    case Value::Kind::None: return accept & kNull;
    case Value::Kind::List:
      if (!(accept & kTextList)) return false;
      for (const Value& item : v.as_list())
        if (!item.is_text()) return false;
      return true;
    default: return false;
  }
}

[[noreturn]] void fail(const std::string& key, const std::string& what) {
  throw ConfigError{"config key " + py_repr(std::string_view(key)) + " " + what};
}

void require(const Value& cfg, const char* key, const std::string& why) {
  if (!cfg.contains(key)) fail(key, "is missing (" + why + ")");
}

void check_result(const Value& result) {
  if (!result.is_dict()) fail("result", "must be an object, got " + result.type_name());
  for (const char* key : {"ctime", "compresscount", "maskcount"}) {
    const Value* v = result.as_dict().find(key);
    if (!v) fail(std::string("result.") + key, "is missing");
    const bool digits_text = v->is_text() && !v->as_text().empty() &&
                             v->as_text().find_first_not_of("0123456789") == std::string::npos;
    if (!(v->is_int() || v->is_float()) && !(digits_text && std::string(key) == "ctime"))
      fail(std::string("result.") + key, "must be a number, got " + v->type_name());
  }
  const Value* files = result.as_dict().find("files");
  if (!files) fail("result.files", "is missing");
  if (!files->is_list()) fail("result.files", "must be a list, got " + files->type_name());
}

}  // namespace

void validate_config(const Value& cfg) {
  for (const KeyRule& rule : kRules) {
    const Value* v = cfg.as_dict().find(rule.key);
    if (v && !accepts(rule.accept, *v))
      fail(rule.key, std::string("must be ") + rule.expected + ", got " + v->type_name());
  }
  if (cfg.get("zfile").truthy()) fail("zfile", "is set by the run itself and must be absent");
  if (cfg.contains("result")) check_result(cfg.at("result"));

  // Keys every run reads.
  for (const char* key : {"folder", "maskmode", "exts", "utimemode", "utime"})
    require(cfg, key, "every run reads it");
  const Value exts = cfg.at("exts");
  if (exts.is_text() && exts.as_text().find("*.*") == std::string::npos)
    require(cfg, "_exts", "'exts' is a text without \"*.*\"");

  // Keys the chosen mode reads.
  const Value mode = cfg.at("maskmode");
  if (num_eq(mode, 2)) {
    require(cfg, "masktext", "maskmode 2 stamps this text");
    require(cfg, "fontttf", "maskmode 2 draws with this font");
  } else if (num_eq(mode, 3)) {
    require(cfg, "maskimgPath", "maskmode 3 stamps this picture");
  } else if (!num_eq(mode, 1)) {
    fail("maskmode", "must be 1, 2 or 3, got " + py_repr(mode));
  }
  if (num_eq(mode, 1) && cfg.get("isgifsicle").truthy()) {
    for (const char* key : {"gif_qty", "gif_color", "gif_loss"})
      require(cfg, key, "the lossy GIF pass reads it");
  }
}

}  // namespace img_util::cli
