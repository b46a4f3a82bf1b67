// TIFF decoding through Image::open and load().
#include "fuzz.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return img_util::fuzz::decode_all_ways({reinterpret_cast<const char*>(data), size}, "TIFF");
}
