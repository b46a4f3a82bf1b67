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
void IMAGES::backup(const std::string&, const Value&) { not_built("backup"); }
}
