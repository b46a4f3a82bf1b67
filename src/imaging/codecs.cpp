// Placeholder until the codecs work lands: every function here throws.
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
std::string format_for_path(const std::string&) { not_built("format_for_path"); }
std::string encode(const Image&, const std::string&, const EncodeOptions&) { not_built("encode"); }
void save(const Image&, const std::string&, const EncodeOptions&) { not_built("save"); }
struct FrameReader::State {};
FrameReader::FrameReader(const Image&) { not_built("FrameReader"); }
FrameReader::~FrameReader() = default;
ImagePtr FrameReader::next() { not_built("FrameReader"); }
int exif_orientation(const std::string&) { not_built("exif"); }
std::string exif_with_orientation_1(std::string) { not_built("exif"); }
}
}
