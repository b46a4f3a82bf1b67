// JPEG decoding: header, whole image, reduced, resized while decoding. Progressive files of any
// size have their scans after the first read by our own reader on two threads (and where it
// gives up, by libjpeg alone), which otherwise only files of half a megabyte and more reach;
// inputs of odd length are read without BMI2's bit instructions, as on CPUs that lack them.
#include "fuzz.hpp"
#include "imaging/codecs/codecs.hpp"
#include "imaging/codecs/jpeg_entropy.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  img_util::imaging::codec::set_jpeg_shared_read(true);
  img_util::imaging::codec::jpeg_entropy::use_portable_bits(size % 2 == 1);
  return img_util::fuzz::decode_all_ways({reinterpret_cast<const char*>(data), size}, "JPEG");
}
