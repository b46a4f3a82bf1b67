// Placeholder until the pixels work lands: every function here throws.
#include <stdexcept>
#include <string>
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/value.hpp"
#include "imaging/imaging.hpp"
namespace img_util {
[[noreturn]] static void not_built(const char* what) { throw std::logic_error(std::string(what) + " is not built yet"); }
namespace imaging {
Image convert(const Image&, Mode, int) { not_built("convert"); }
Image resize(const Image&, int, int) { not_built("resize"); }
Image rotate(const Image&, double) { not_built("rotate"); }
Image crop(const Image&, int, int, int, int) { not_built("crop"); }
void paste(Image&, const Image&, int, int) { not_built("paste"); }
Image alpha_composite(const Image&, const Image&) { not_built("alpha_composite"); }
Image composite(const Image&, const Image&, const Image&) { not_built("composite"); }
Image putalpha(const Image&, const Image&) { not_built("putalpha"); }
}
}
