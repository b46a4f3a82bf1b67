// JPEG decoding: header, whole image, reduced, resized while decoding. Progressive files of any
// size go through the reading that two decoders share (and its fallback to one decoder), which
// otherwise only files of half a megabyte and more reach.
#include "fuzz.hpp"
#include "imaging/codecs/codecs.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  img_util::imaging::codec::set_jpeg_shared_read(true);
  return img_util::fuzz::decode_all_ways({reinterpret_cast<const char*>(data), size}, "JPEG");
}
