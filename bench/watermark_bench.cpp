// Times the two watermark operations on an image that is already decoded, the way the
// pipelines call them, and reports the first call's time (fresh memory, as for one file), the
// best time and the process's peak memory.
//
//   bench_watermark_bench word IMAGE FONT TEXT [REPEAT] [OUT.png]
//   bench_watermark_bench pic IMAGE LOGO SCALE OPACITY [REPEAT] [OUT.png]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "imaging/imaging.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/value.hpp"

using namespace img_util;

namespace {

Value config() {
  Value result = Value::dict();
  result.set("maskcount", 0);
  Value cfg = Value::dict();
  cfg.set("result", result);
  return cfg;
}

double peak_rss_mib() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss / 1024.0;
}

int usage() {
  std::fprintf(stderr,
               "usage: bench_watermark_bench word IMAGE FONT TEXT [REPEAT] [OUT.png]\n"
               "       bench_watermark_bench pic IMAGE LOGO SCALE OPACITY [REPEAT] [OUT.png]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return usage();
  const std::string op = argv[1];
  try {
    ImagePtr im = Image::open(argv[2]);
    im->load();
    Value cfg = config();
    int next = 0;
    if (op == "word") {
      cfg.set("fontttf", argv[3]);
      cfg.set("masktext", argv[4]);
      next = 5;
    } else if (op == "pic") {
      if (argc < 6) return usage();
      cfg.set("maskimgPath", argv[3]);
      cfg.set("maskscale", std::atof(argv[4]));
      cfg.set("maskopacity", std::atof(argv[5]));
      next = 6;
    } else {
      return usage();
    }
    const int repeat = argc > next ? std::max(1, std::atoi(argv[next])) : 3;
    IMAGES images;
    double best = 1e30, first = 0;
    ImagePtr out;
    for (int k = 0; k < repeat; ++k) {
      out.reset();  // keep one result alive at a time
      auto t0 = std::chrono::steady_clock::now();
      out = op == "word" ? images.watermark_word(argv[2], cfg, im)
                         : images.watermark_pic(argv[2], cfg, im);
      auto t1 = std::chrono::steady_clock::now();
      const double secs = std::chrono::duration<double>(t1 - t0).count();
      if (k == 0) first = secs;
      best = std::min(best, secs);
    }
    if (!out) throw std::runtime_error("no image came back");
    if (argc > next + 1) imaging::save(*out, argv[next + 1]);
    std::printf("seconds=%.4f first=%.4f peak_rss_mib=%.1f pixels=%dx%d\n", best, first,
                peak_rss_mib(), im->width(), im->height());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_watermark_bench: %s\n", e.what());
    return 1;
  }
}
