// The configuration checked before a run touches anything: a mistyped key, a value out of its
// range, an extension that can never match or an unreadable folder is reported once, naming
// the key, instead of failing every file or quietly doing nothing. All problems are reported
// together, so one edit fixes them all.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cli.hpp"
#include "img_util/ascii.hpp"
#include "img_util/value.hpp"

namespace img_util::cli {

namespace {

// What a key may hold. Several may be combined.
enum Accept : unsigned {
  kText = 1,
  kNumber = 2,  // int or float (not true/false)
  kSwitch = 4,  // true/false, or a number read for its truth
  kNull = 8,
  kFalse = 16,  // false meaning "unset", where a false value is replaced by a default
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
    {"result", 0, ""},  // checked on its own
    {"zfile", 0, ""},   // set by the run itself
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

// Edits (insert, delete, replace, swap of neighbours) that turn `a` into `b`.
size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i)
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

class Checker {
 public:
  explicit Checker(const Value& cfg) : cfg_(cfg) {}

  ConfigProblems run() && {
    kinds();
    unknown_keys();
    if (cfg_.contains("result")) result();
    required_keys();
    ranges();
    extensions();
    time_rule();
    readable_files();
    combinations();
    return std::move(problems_);
  }

 private:
  void error(const std::string& key, const std::string& what) {
    problems_.errors.push_back("config key " + py_repr(std::string_view(key)) + " " + what);
  }
  void warn(const std::string& text) { problems_.warnings.push_back(text); }

  // A key of a kind the run would trip over stops the checks of its value further down.
  const Value* usable(const char* key) const {
    const Value* v = cfg_.as_dict().find(key);
    return v && !bad_kind_.count(key) ? v : nullptr;
  }
  // The value as a number when it is one (not a switch, not unset).
  const Value* number(const char* key) const {
    const Value* v = usable(key);
    return v && (v->is_int() || v->is_float()) ? v : nullptr;
  }

  void kinds() {
    for (const KeyRule& rule : kRules) {
      const Value* v = cfg_.as_dict().find(rule.key);
      if (!v || rule.accept == 0 || accepts(rule.accept, *v)) continue;
      error(rule.key, std::string("must be ") + rule.expected + ", got " + v->type_name());
      bad_kind_.insert(rule.key);
    }
    if (cfg_.get("zfile").truthy()) error("zfile", "is set by the run itself and must be absent");
  }

  void unknown_keys() {
    for (const auto& [key, value] : cfg_.as_dict().items()) {
      const KeyRule* nearest = nullptr;
      size_t best = SIZE_MAX;
      for (const KeyRule& rule : kRules) {
        const size_t d = edit_distance(key, rule.key);
        if (d < best) best = d, nearest = &rule;
      }
      if (best == 0) continue;
      std::string text = "unknown key " + py_repr(std::string_view(key));
      if (best <= std::max<size_t>(1, key.size() / 3))
        text += " (did you mean " + py_repr(std::string_view(nearest->key)) + "?)";
      problems_.errors.push_back(text);
    }
  }

  void result() {
    const Value& result = cfg_.at("result");
    if (!result.is_dict()) return error("result", "must be an object, got " + result.type_name());
    for (const char* key : {"ctime", "compresscount", "maskcount"}) {
      const Value* v = result.as_dict().find(key);
      if (!v) {
        error(std::string("result.") + key, "is missing");
        continue;
      }
      const bool digits_text = v->is_text() && !v->as_text().empty() &&
                               v->as_text().find_first_not_of("0123456789") == std::string::npos;
      if (!(v->is_int() || v->is_float()) && !(digits_text && std::string(key) == "ctime"))
        error(std::string("result.") + key, "must be a number, got " + v->type_name());
    }
    const Value* files = result.as_dict().find("files");
    if (!files)
      error("result.files", "is missing");
    else if (!files->is_list())
      error("result.files", "must be a list, got " + files->type_name());
  }

  void require(const char* key, const std::string& why) {
    if (!cfg_.contains(key)) error(key, "is missing (" + why + ")");
  }

  void required_keys() {
    for (const char* key : {"folder", "maskmode", "exts", "utimemode", "utime"})
      require(key, "every run reads it");
    const Value* exts = usable("exts");
    if (exts && exts->is_text() && exts->as_text().find("*.*") == std::string::npos)
      require("_exts", "'exts' is a text without \"*.*\"");

    const Value* mode = usable("maskmode");
    if (!mode) return;
    if (num_eq(*mode, 2)) {
      require("masktext", "maskmode 2 stamps this text");
      require("fontttf", "maskmode 2 draws with this font");
    } else if (num_eq(*mode, 3)) {
      require("maskimgPath", "maskmode 3 stamps this picture");
    } else if (!num_eq(*mode, 1)) {
      error("maskmode", "must be 1, 2 or 3, got " + py_repr(*mode));
    }
    if (lossy_gif_pass())
      for (const char* key : {"gif_qty", "gif_color", "gif_loss"})
        require(key, "the lossy GIF pass reads it");
  }

  bool lossy_gif_pass() const {
    const Value* mode = usable("maskmode");
    return mode && num_eq(*mode, 1) && cfg_.get("isgifsicle").truthy();
  }

  // `key`, when a number, within [low, high]; 0 stays allowed where it means "not set".
  void within(const char* key, double low, double high, const std::string& range,
              bool zero_unsets = true) {
    const Value* v = number(key);
    if (!v) return;
    const double x = v->as_number();
    if (zero_unsets && x == 0) return;
    if (!(x >= low && x <= high)) error(key, "must be " + range + ", got " + py_repr(*v));
  }

  void ranges() {
    constexpr double kHuge = 1e300;
    within("quality", 1, 100, "from 1 to 100 (0 or empty: not set)");
    within("ctrsize", 1e-300, kHuge, "above 0 KiB (0 or empty: no target)");
    for (const char* key : {"yswidth", "ysheight", "fontsize"})
      within(key, 1, kHuge, "at least 1 pixel (0 or empty: not set)");
    for (const char* key : {"minsize", "minwidth"}) within(key, 0, kHuge, "0 or more", false);
    within("maskopacity", 0, 100, "a percentage from 0 to 100", false);
    within("maskscale", 0, kHuge, "0 or more", false);
    within("utimemode", 0, 2, "0, 1 or 2", false);
    if (const Value* v = number("utimemode");
        v && v->as_number() != static_cast<int>(v->as_number()))
      error("utimemode", "must be 0, 1 or 2, got " + py_repr(*v));
    if (const Value* pos = usable("markpos")) {
      static const std::vector<std::string> kPositions = {"",        "rightbottom", "leftbottom",
                                                          "lefttop", "righttop",    "center"};
      if (std::find(kPositions.begin(), kPositions.end(), pos->as_text()) == kPositions.end())
        error("markpos",
              "must be rightbottom, leftbottom, lefttop, righttop or center, got " + py_repr(*pos));
    }
    if (!lossy_gif_pass()) return;
    if (const Value* qty = usable("gif_qty")) {
      const std::string text = qty->is_text() ? qty->as_text() : py_repr(*qty);
      if (text != "O1" && text != "O2" && text != "O3")
        error("gif_qty",
              "must be \"O1\", \"O2\" or \"O3\" (gifsicle's -O levels), got " + py_repr(*qty));
    }
    if (const Value* color = number("gif_color");
        color && !(color->is_int() && color->as_int() >= 1 && color->as_int() <= 8))
      error("gif_color",
            "must be a whole number from 1 to 8 (2 to 256 colours), got " + py_repr(*color));
    if (const Value* loss = number("gif_loss"); loss && loss->as_number() < 0)
      error("gif_loss", "must be 0 or more, got " + py_repr(*loss));
  }

  // Extensions are compared with the file's lower-cased extension, dot included.
  void extensions() {
    const Value* exts = usable("exts");
    if (!exts || !exts->is_list()) return;
    if (exts->as_list().empty()) error("exts", "is an empty list: no file would be selected");
    for (const Value& item : exts->as_list()) {
      const std::string& e = item.as_text();
      const std::string lower = ascii_lower(e);
      const size_t name = e.find_first_not_of('.');
      if (name == std::string::npos)
        error("exts", "entry " + py_repr(item) + " can never match: it names no extension");
      else if (name != 1)
        error("exts", "entry " + py_repr(item) + " can never match: write it with one dot, as " +
                          py_repr(std::string_view("." + e.substr(name))));
      else if (lower != e)
        error("exts", "entry " + py_repr(item) + " can never match: extensions are compared in " +
                          "lower case (" + py_repr(std::string_view(lower)) + ")");
    }
  }

  // The rule compares the file's UTC modification time as "YYYY-MM-DD HH:MM:SS" text.
  void time_rule() {
    const Value* mode = number("utimemode");
    const Value* utime = usable("utime");
    if (!mode || mode->as_number() == 0 || !utime || !utime->truthy()) return;
    const std::string& t = utime->as_text();
    static constexpr std::string_view kShape = "dddd-dd-dd dd:dd:dd";
    bool ok = t.size() == kShape.size();
    for (size_t i = 0; ok && i < t.size(); ++i)
      ok = kShape[i] == 'd' ? (t[i] >= '0' && t[i] <= '9') : t[i] == kShape[i];
    if (!ok)
      error("utime", "must be a UTC time written \"YYYY-MM-DD HH:MM:SS\", got " + py_repr(*utime));
  }

  void readable(const char* key, bool folder) {
    const Value* v = usable(key);
    if (!v || !v->is_text()) return;
    const std::string& path = v->as_text();
    if (folder) {
      DIR* d = ::opendir(path.c_str());
      if (d) {
        ::closedir(d);
        return;
      }
    } else if (const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
      ::close(fd);
      return;
    }
    error(key, py_repr(*v) + " cannot be read: " + std::strerror(errno));
  }

  void readable_files() {
    readable("folder", true);
    const Value* mode = usable("maskmode");
    if (mode && num_eq(*mode, 2)) readable("fontttf", false);
    if (mode && num_eq(*mode, 3)) readable("maskimgPath", false);
  }

  // Settings that are valid but do nothing together: said, and the run goes on.
  void combinations() {
    const Value* ctrsize = number("ctrsize");
    const Value* quality = number("quality");
    if (ctrsize && ctrsize->as_number() > 0 && (!quality || quality->as_number() >= 100))
      warn(
          "'ctrsize' has no effect without a 'quality' below 100 (the size target lowers the "
          "quality step by step from there)");
    const Value* folder = usable("folder");
    const Value* outpath = usable("outpath");
    if (folder && outpath && outpath->truthy()) {
      namespace fs = std::filesystem;
      std::error_code ec;
      const std::string f = fs::weakly_canonical(folder->as_text(), ec).string() + "/";
      const std::string o = fs::weakly_canonical(outpath->as_text(), ec).string() + "/";
      if (!ec && o.compare(0, f.size(), f) == 0)
        warn("'outpath' " + py_repr(*outpath) + " lies inside 'folder'; the run does not " +
             "enter it");
    }
  }

  const Value& cfg_;
  ConfigProblems problems_;
  std::set<std::string> bad_kind_;
};

}  // namespace

ConfigProblems check_config(const Value& cfg) { return Checker(cfg).run(); }

}  // namespace img_util::cli
