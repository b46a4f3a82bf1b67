// Temporary: GIF decoding and encoding land shortly; until then opening a GIF file fails cleanly.
#include "imaging/codecs/codecs.hpp"

namespace img_util::imaging::codec {

Header gif_header(std::string_view, const std::string& name) {
  throw ImageError("GIF files are not supported yet: " + quoted(name), name);
}
Image gif_decode(std::string_view, const std::string& name, ReduceHint) {
  throw ImageError("GIF files are not supported yet: " + quoted(name), name);
}
std::string gif_encode(const Image&, const EncodeOptions&) {
  throw ImageError("cannot write GIF yet");
}

}  // namespace img_util::imaging::codec

namespace img_util::imaging::codec {
struct GifFrames::Impl {};
GifFrames::GifFrames(std::shared_ptr<const std::string>, std::string name) {
  throw ImageError("GIF files are not supported yet: " + quoted(name), name);
}
GifFrames::~GifFrames() = default;
ImagePtr GifFrames::next() { return nullptr; }
}  // namespace img_util::imaging::codec
