// Placeholder until the base work lands: every function here throws.
#include <stdexcept>
#include <string>
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/value.hpp"
#include "imaging/imaging.hpp"
namespace img_util {
[[noreturn]] static void not_built(const char* what) { throw std::logic_error(std::string(what) + " is not built yet"); }
const std::string& basedir() { not_built("basedir"); }
const std::string& plugin_path() { not_built("plugin_path"); }
void set_plugin_dir(const std::string&) { not_built("set_plugin_dir"); }
bool debug() { return false; }
void set_debug(bool) {}
void set_line_sink(LineSink) {}
void print_line(const std::string&) {}
void set_run_hooks(RunHooks) {}
const RunHooks& run_hooks() { static RunHooks h; return h; }
void note_file_selected() {}
std::string IMAGES::backdir() { not_built("backdir"); }
std::string IMAGES::tmpPath() { not_built("tmpPath"); }
}
