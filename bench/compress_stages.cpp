// Where the time of the compression job goes on one photo: decode (full and with the resize's
// reduction hint), the Lanczos resize, the probe encoding and the trial encodings at falling
// quality, and decoding an adopted trial. Best of REPEAT runs per step, in milliseconds.
//   bench_compress_stages FILE WIDTH [REPEAT]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "imaging/imaging.hpp"
#include "support/files.hpp"
#include "timing.hpp"

using namespace img_util;

using bench::best_ms;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s FILE WIDTH [REPEAT]\n", argv[0]);
    return 2;
  }
  const int width = std::atoi(argv[2]);
  const int repeat = argc > 3 ? std::atoi(argv[3]) : 3;
  const std::string data = read_whole_file(argv[1]);

  auto head = Image::open_bytes(data, argv[1]);
  const int height = static_cast<int>(int64_t{head->height()} * width / head->width());
  const ReduceHint hint{2 * width, 2 * height};
  std::printf("decode %.1f\n", best_ms(repeat, [&] { Image::open_bytes(data)->load(); }));
  std::printf("decode_hint %.1f\n", best_ms(repeat, [&] { Image::open_bytes(data)->load(hint); }));
  auto src = Image::open_bytes(data);
  src->load(hint);
  std::printf("decoded %dx%d\n", src->width(), src->height());
  Image small(Mode::RGB, 1, 1);
  std::printf("resize %.1f\n",
              best_ms(repeat, [&] { small = imaging::resize(*src, width, height); }));
  std::string bytes;
  std::printf("probe %.1f\n", best_ms(repeat, [&] { bytes = imaging::encode(small, "JPEG"); }));
  for (int q = 80; q > 0; q -= 10) {
    imaging::EncodeOptions o;
    o.quality = q;
    o.optimize = true;
    const double ms = best_ms(repeat, [&] { bytes = imaging::encode(small, "JPEG", o); });
    std::printf("trial_q%d %.1f %zu\n", q, ms, bytes.size());
  }
  std::printf("decode_adopted %.1f\n", best_ms(repeat, [&] { Image::open_bytes(bytes)->load(); }));
  return 0;
}
