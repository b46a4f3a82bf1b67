// Codec timings for one image file: decode, decode with a quarter-size hint (DCT scaling for
// JPEG), encode with the defaults and with optimize, in its own format. Best of REPEAT runs.
//   bench_codecs_bench FILE [REPEAT]
// Prints one line per step: "<step> <ms> <bytes>"; bench/codecs_pillow.py prints the same
// steps for Pillow.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "imaging/imaging.hpp"
#include "support/files.hpp"
#include "timing.hpp"

using namespace img_util;

using bench::best_ms;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [REPEAT]\n", argv[0]);
    return 2;
  }
  const int repeat = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::string data = read_whole_file(argv[1]);

  auto full = Image::open_bytes(data, argv[1]);
  full->load();
  const std::string format = full->info.format;
  const ReduceHint quarter{full->width() / 4, full->height() / 4};

  std::printf("decode %.1f %zu\n", best_ms(repeat, [&] { Image::open_bytes(data)->load(); }),
              data.size());
  std::printf("decode_quarter %.1f %zu\n",
              best_ms(repeat, [&] { Image::open_bytes(data)->load(quarter); }), data.size());
  for (bool optimize : {false, true}) {
    imaging::EncodeOptions opts;
    opts.optimize = optimize;
    size_t size = 0;
    double ms = best_ms(repeat, [&] { size = imaging::encode(*full, format, opts).size(); });
    std::printf("%s %.1f %zu\n", optimize ? "encode_optimize" : "encode", ms, size);
  }
  return 0;
}
