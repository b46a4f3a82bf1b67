// Temporary: BMP decoding and encoding land shortly; until then opening a BMP file fails cleanly.
#include "imaging/codecs/codecs.hpp"

namespace img_util::imaging::codec {

Header bmp_header(std::string_view, const std::string& name) {
  throw ImageError("BMP files are not supported yet: " + quoted(name), name);
}
Image bmp_decode(std::string_view, const std::string& name, ReduceHint) {
  throw ImageError("BMP files are not supported yet: " + quoted(name), name);
}
std::string bmp_encode(const Image&, const EncodeOptions&) {
  throw ImageError("cannot write BMP yet");
}

}  // namespace img_util::imaging::codec
