// The flag commands: `img_util compress DIR ...` and `img_util watermark DIR ...` build the
// configuration a JSON file would hold and run it like `run`, so the common jobs need no JSON.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.hpp"
#include "img_util/value.hpp"

namespace img_util::cli {
namespace {

const char* const kCompressHelp =
    "usage: img_util compress DIR [-o OUTDIR] [--max-width N] [--max-height N] [--quality N]\n"
    "                         [--target SIZE] [--recursive] [--ext .jpg,.png] [--backup]\n"
    "                         [common options]\n"
    "\n"
    "Downscales the images of DIR into the box and re-encodes them, lowering the quality step by\n"
    "step towards SIZE (\"200K\", \"1.5M\", or KiB). Without -o the files are replaced in place.\n"
    "\n"
    "options:\n"
    "  -o, --output OUTDIR  write into a mirrored tree below OUTDIR instead of in place\n"
    "  --max-width N        largest width in pixels\n"
    "  --max-height N       largest height in pixels\n"
    "  --quality N          starting encoder quality, 1-100 (default 85 with --target)\n"
    "  --target SIZE        size to reach per file\n"
    "  --recursive          the whole tree below DIR (default: its top level)\n"
    "  --ext LIST           extensions to take (default .jpg,.jpeg,.png,.gif,.webp)\n"
    "  --backup             keep the originals in a zip archive in the plugin directory\n"
    "  --keep-going         go on after a file fails (exit status 3 then)\n";

const char* const kWatermarkHelp =
    "usage: img_util watermark DIR (--text T --font FILE | --logo FILE) [options]\n"
    "\n"
    "Stamps a tiled diagonal text, or a logo in a corner, on the images of DIR.\n"
    "\n"
    "text:\n"
    "  --text T             the text (any script; shaped right to left where it reads so)\n"
    "  --font FILE          TrueType or OpenType font\n"
    "  --size N             font size in pixels (default 36)\n"
    "  --color #RRGGBBAA    colour and opacity (default #00000080)\n"
    "logo:\n"
    "  --logo FILE          the picture (PNG with transparency works best)\n"
    "  --position P         right-bottom (default), left-bottom, left-top, right-top, center\n"
    "  --scale N            image-to-logo size ratio (default: the logo keeps its size)\n"
    "  --opacity N          percent, 1-98 (default: as the logo is)\n"
    "  --margin X,Y         distance from the edges in pixels (default 10,10)\n"
    "also: -o OUTDIR, --recursive, --ext, --backup, --keep-going, --max-width, --max-height,\n"
    "--quality, --target (compression before stamping), and the common options\n";

const char* const kCommonHelp =
    "\n"
    "common options:\n"
    "  --plugin-dir DIR     plugin directory (default: $IMG_UTIL_PLUGIN_DIR, else\n"
    "                       /srv/panel/plugin/quorvane)\n"
    "  --dry-run            say per file what the run would do, and touch nothing\n"
    "  --keep-mtime         written files keep their source's modification time\n"
    "  --jobs N             files worked on at once (default: one per CPU; same results)\n"
    "  --report OUT.json    write the finished configuration, counters included\n"
    "  --no-log             do not add the run to the run log\n"
    "  --debug              print a progress line for every processed file\n"
    "  -v, --verbose        a line per file: written, unchanged or skipped, and why\n"
    "  --json FILE          one JSON object per event to FILE (- for standard error)\n"
    "  --print-config       print the JSON configuration these flags make, and run nothing\n"
    "\n"
    "exit status: 0 done, every file fine; 1 the run stopped on an error; 2 usage or\n"
    "configuration error (nothing touched); 3 some files failed; 130 interrupted\n";

double whole_or_fraction(const std::string& flag, const std::string& text) {
  size_t used = 0;
  double v = 0;
  try {
    v = std::stod(text, &used);
  } catch (...) {
    used = 0;
  }
  if (used == 0 || used != text.size()) throw Usage{flag + " takes a number, got '" + text + "'"};
  return v;
}

Value number(double v) {
  return v == static_cast<double>(static_cast<int64_t>(v)) ? Value(static_cast<int64_t>(v))
                                                           : Value(v);
}

// "200K", "1.5M", "300" (KiB) in KiB.
Value size_in_kib(const std::string& text) {
  std::string digits = text;
  double scale = 1;
  if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k'))
    digits.pop_back();
  else if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm'))
    digits.pop_back(), scale = 1024;
  return number(whole_or_fraction("--target", digits) * scale);
}

Value extension_list(const std::string& text) {
  List out;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    std::string ext =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!ext.empty() && ext[0] != '.') ext = "." + ext;
    out.push_back(Value(ext));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return Value(std::move(out));
}

// right-bottom -> rightbottom, as the configuration spells it.
std::string position(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '-' && c != '_') out += c;
  return out;
}

struct Parsed {
  Value cfg = Value::dict();
  RunOptions opts;
  bool print_config = false;
  bool help = false;
};

// One flag of the run's options or the configuration; false when `args[i]` is none of them.
bool take_flag(const std::string& command, const std::vector<std::string>& args, size_t& i,
               Parsed& p) {
  const std::string& a = args[i];
  std::string v;
  Value& cfg = p.cfg;
  if (a == "--help" || a == "-h")
    p.help = true;
  else if (a == "--recursive")
    cfg.set("subfold", true);
  else if (a == "--backup")
    cfg.set("isbackup", true);
  else if (a == "--keep-going")
    cfg.set("jumperr", true);
  else if (a == "--keep-mtime")
    p.opts.keep_mtime = true;
  else if (a == "--dry-run")
    p.opts.dry_run = true;
  else if (option_value(args, i, "--jobs", v))
    p.opts.jobs = parse_jobs(v);
  else if (a == "--no-log")
    p.opts.no_log = true;
  else if (a == "--debug")
    p.opts.debug = true;
  else if (a == "-v" || a == "--verbose")
    p.opts.verbose = true;
  else if (option_value(args, i, "--json", v))
    p.opts.json_path = v;
  else if (a == "--print-config")
    p.print_config = true;
  else if (option_value(args, i, "--plugin-dir", v))
    p.opts.plugin_dir = v;
  else if (option_value(args, i, "--report", v))
    p.opts.report_path = v;
  else if (option_value(args, i, "-o", v) || option_value(args, i, "--output", v))
    cfg.set("outpath", v);
  else if (option_value(args, i, "--max-width", v))
    cfg.set("yswidth", number(whole_or_fraction("--max-width", v)));
  else if (option_value(args, i, "--max-height", v))
    cfg.set("ysheight", number(whole_or_fraction("--max-height", v)));
  else if (option_value(args, i, "--quality", v))
    cfg.set("quality", number(whole_or_fraction("--quality", v)));
  else if (option_value(args, i, "--target", v))
    cfg.set("ctrsize", size_in_kib(v));
  else if (option_value(args, i, "--ext", v))
    cfg.set("exts", extension_list(v));
  else if (command == "watermark" && option_value(args, i, "--text", v))
    cfg.set("masktext", v);
  else if (command == "watermark" && option_value(args, i, "--font", v))
    cfg.set("fontttf", v);
  else if (command == "watermark" && option_value(args, i, "--size", v))
    cfg.set("fontsize", number(whole_or_fraction("--size", v)));
  else if (command == "watermark" && option_value(args, i, "--color", v))
    cfg.set("rgba", v);
  else if (command == "watermark" && option_value(args, i, "--logo", v))
    cfg.set("maskimgPath", v);
  else if (command == "watermark" && option_value(args, i, "--position", v))
    cfg.set("markpos", position(v));
  else if (command == "watermark" && option_value(args, i, "--scale", v))
    cfg.set("maskscale", number(whole_or_fraction("--scale", v)));
  else if (command == "watermark" && option_value(args, i, "--opacity", v))
    cfg.set("maskopacity", number(whole_or_fraction("--opacity", v)));
  else if (command == "watermark" && option_value(args, i, "--margin", v)) {
    const size_t comma = v.find(',');
    cfg.set("marginx", number(whole_or_fraction("--margin", v.substr(0, comma))));
    cfg.set("marginy", number(whole_or_fraction(
                           "--margin", comma == std::string::npos ? v : v.substr(comma + 1))));
  } else {
    return false;
  }
  return true;
}

// The keys every run reads, where the flags left them unset.
void fill_defaults(const std::string& command, Value& cfg) {
  auto set_default = [&cfg](const char* key, Value v) {
    if (!cfg.contains(key)) cfg.set(key, std::move(v));
  };
  set_default("exts", extension_list(".jpg,.jpeg,.png,.gif,.webp"));
  set_default("utimemode", 0);
  set_default("utime", "");
  set_default("isaprotect", true);  // a file compressed once is not compressed again
  set_default("isprotect", true);   // nor watermarked twice
  if (cfg.contains("ctrsize")) set_default("quality", 85);
  if (command == "compress") {
    cfg.set("maskmode", 1);
    return;
  }
  const bool logo = cfg.contains("maskimgPath");
  if (logo && cfg.contains("masktext")) throw Usage{"watermark takes --text or --logo, not both"};
  if (!logo && !cfg.contains("masktext"))
    throw Usage{"watermark needs --text (with --font) or --logo"};
  cfg.set("maskmode", logo ? 3 : 2);
  if (logo) {
    set_default("markpos", "rightbottom");
    set_default("marginx", 10);
    set_default("marginy", 10);
  }
  // Compression before stamping only where a size was asked for.
  cfg.set("iscompress", cfg.contains("yswidth") || cfg.contains("ysheight") ||
                            cfg.contains("quality") || cfg.contains("ctrsize"));
}

Parsed parse(const std::string& command, const std::vector<std::string>& args) {
  Parsed p;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    if (take_flag(command, args, i, p)) continue;
    if (args[i].size() > 1 && args[i][0] == '-') throw Usage{"unknown option " + args[i]};
    positional.push_back(args[i]);
  }
  if (p.help) return p;
  if (positional.size() != 1) throw Usage{command + " takes one folder, DIR"};
  p.cfg.set("folder", positional[0]);
  fill_defaults(command, p.cfg);
  return p;
}

}  // namespace

int cmd_flags(const std::string& command, const std::vector<std::string>& args) {
  Parsed p = parse(command, args);
  if (p.help) {
    std::fputs(command == "compress" ? kCompressHelp : kWatermarkHelp, stdout);
    std::fputs(kCommonHelp, stdout);
    return kOk;
  }
  if (p.print_config) {
    std::printf("%s\n", to_json(p.cfg).c_str());
    return kOk;
  }
  apply_run_options(p.opts);
  return run_config(std::move(p.cfg), p.opts);
}

}  // namespace img_util::cli
