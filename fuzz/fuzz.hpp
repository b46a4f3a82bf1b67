// What the fuzz targets share: the entry point libFuzzer calls, reading options from the end of
// an input, and the decoding every decoder target does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace img_util::fuzz {

// Input bytes, with option bytes taken from the end so that the front stays a well-formed file
// that mutations of it keep reaching the decoder with.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}
  // The last byte, removed; zero once the input is used up.
  uint8_t take_byte() {
    if (rest_.empty()) return 0;
    const uint8_t b = static_cast<uint8_t>(rest_.back());
    rest_.remove_suffix(1);
    return b;
  }
  // A number in [lo, hi] from the last byte.
  int take_int(int lo, int hi) { return lo + take_byte() % (hi - lo + 1); }
  std::string_view rest() const { return rest_; }

 private:
  std::string_view rest_;
};

// Opens `data` as an image and, when it is in `format` ("JPEG", "PNG", ...), decodes it the ways
// a run does: whole; where the format decodes row by row also reduced while decoding and
// straight into a smaller size; where it holds animations frame by frame. Returns -1 (not worth
// keeping) for data in another format, else 0. Errors the library reports (ImageError and the
// like) end the work quietly; anything else escapes to libFuzzer as a crash.
int decode_all_ways(std::string_view data, std::string_view format);

// Holds decoding to images of a megapixel, as the decoders' own fuzzers cap sizes: a few bytes
// can claim a large image, and time spent resampling it is time not spent on other inputs. The
// allocation bounds for giant claimed sizes are tested apart from these targets.
inline constexpr int64_t kFuzzPixelLimit = int64_t{1} << 20;

}  // namespace img_util::fuzz
