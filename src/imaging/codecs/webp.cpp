// Temporary: WEBP decoding and encoding land shortly; until then opening a WEBP file fails cleanly.
#include "imaging/codecs/codecs.hpp"

namespace img_util::imaging::codec {

Header webp_header(std::string_view, const std::string& name) {
  throw ImageError("WEBP files are not supported yet: " + quoted(name), name);
}
Image webp_decode(std::string_view, const std::string& name, ReduceHint) {
  throw ImageError("WEBP files are not supported yet: " + quoted(name), name);
}
std::string webp_encode(const Image&, const EncodeOptions&) {
  throw ImageError("cannot write WEBP yet");
}

}  // namespace img_util::imaging::codec
