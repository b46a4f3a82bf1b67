// The decoding every decoder target does, through the library's own entry points.
#include <algorithm>
#include <memory>
#include <string>

#include "fuzz.hpp"
#include "imaging/codecs/codecs.hpp"
#include "imaging/imaging.hpp"
#include "img_util/errors.hpp"
#include "img_util/image.hpp"

namespace img_util::fuzz {

namespace {

// An animation's frames are each decoded from the start of their data; past this many, more of
// them only repeat the work (and a GIF of thousands of one-pixel frames is tested elsewhere).
constexpr int kMaxFrames = 64;

}  // namespace

int decode_all_ways(std::string_view data, std::string_view format) {
  const imaging::codec::Format* found = imaging::codec::detect(data);
  if (!found || found->name != format) return -1;
  set_pixel_limit(kFuzzPixelLimit);
  const std::string bytes(data);
  try {
    ImagePtr whole = Image::open_bytes(bytes, "fuzz-input");
    const int w = whole->width(), h = whole->height();
    whole->load();

    // Only a format that decodes row by row scales while decoding or streams into the
    // resampler; for the others these would repeat the whole decoding.
    if (found->stream) {
      ImagePtr reduced = Image::open_bytes(bytes, "fuzz-input");
      reduced->load(ReduceHint{std::max(1, w / 5), std::max(1, h / 5)});

      ImagePtr streamed = Image::open_bytes(bytes, "fuzz-input");
      const ReduceHint box{std::max(1, w / 3), std::max(1, h / 3)};
      imaging::decode_resized(*streamed, box.min_width, box.min_height, box);
    }

    if (found->animation) {
      ImagePtr animated = Image::open_bytes(bytes, "fuzz-input");
      imaging::FrameReader frames(*animated);
      for (int i = 0; i < kMaxFrames; ++i) {
        ImagePtr frame = frames.next();
        if (!frame) break;
      }
    }
  } catch (const Error&) {
    // The library's own report on bad data: what the target expects of most inputs.
  }
  return 0;
}

}  // namespace img_util::fuzz
