// The quality loop of compression with the JPEG size model on and off, per photo. The photo is
// decoded and resized to WIDTH beforehand when wider (untimed); then compress runs on it
// (the probe, the trials, adoption) with the size target, and must write the same outfile and
// adopt the same encoding either way. Also the model's own costs: its transform of the image,
// one quality's count (the mean over the loop's qualities) and, for comparison, one trial
// encoding at the first quality, plain and written from the model's coefficients ("coef"), and
// the probe (quality 75, standard tables) both ways. Best of REPEAT runs (off and on in turns), in
// milliseconds. Trials run ahead on a second CPU where the process may use one: under `taskset -c
// 0`, one.
//   bench_compress_loop [--width W] [--quality Q] [--ctrsize KIB] [--optimize 0|1]
//                       [--repeat N] PHOTO...
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "imaging/imaging.hpp"
#include "imaging/jpeg_size.hpp"
#include "img_util/images.hpp"
#include "img_util/value.hpp"
#include "operations/compress_trials.hpp"
#include "support/files.hpp"
#include "timing.hpp"

using namespace img_util;

using bench::best_ms;

namespace {

struct Outcome {
  std::vector<int> tried;
  std::string outfile;
  std::string adopted;
};

}  // namespace

int main(int argc, char** argv) {
  int width = 1920, quality = 80, repeat = 3;
  double ctrsize = 200;
  bool optimize = true;
  std::vector<std::string> photos;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 < argc && a == "--width")
      width = std::atoi(argv[++i]);
    else if (i + 1 < argc && a == "--quality")
      quality = std::atoi(argv[++i]);
    else if (i + 1 < argc && a == "--ctrsize")
      ctrsize = std::atof(argv[++i]);
    else if (i + 1 < argc && a == "--optimize")
      optimize = std::atoi(argv[++i]) != 0;
    else if (i + 1 < argc && a == "--repeat")
      repeat = std::atoi(argv[++i]);
    else
      photos.push_back(a);
  }
  if (photos.empty()) {
    std::fprintf(stderr,
                 "usage: %s [--width W] [--quality Q] [--ctrsize KIB] [--optimize 0|1] "
                 "[--repeat N] PHOTO...\n",
                 argv[0]);
    return 2;
  }
  char tmpl[] = "/tmp/bench_compress_loop_XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string scratch = tmpl;

  std::printf("%-28s %9s %6s %7s %8s %8s %8s %8s %8s %8s %8s  %s\n", "photo", "size", "model",
              "count", "encode", "coef", "probe", "p. coef", "loop off", "loop on", "on/off",
              "trials (sized by the model in [])");
  double total_off = 0, total_on = 0;
  for (const std::string& path : photos) {
    // Resized as compress resizes (a photo no wider is left as it is).
    auto im = Image::open(path);
    if (im->width() > width) {
      const int height = static_cast<int>(int64_t{im->height()} * width / im->width());
      im = std::make_shared<Image>(
          imaging::decode_resized(*im, width, height, ReduceHint{2 * width, 2 * height}));
    }
    im->load();

    imaging::EncodeOptions opts;
    opts.optimize = optimize;
    const double model_ms = best_ms(repeat, [&] { imaging::JpegSizeModel m(*im, opts); });
    const imaging::JpegSizeModel model(*im, opts);
    std::vector<int> qualities;
    for (int q = quality; q > 0; q -= 10) qualities.push_back(q);
    const double count_ms = best_ms(repeat,
                                    [&] {
                                      for (int q : qualities) (void)model.lower_bound(q);
                                    }) /
                            static_cast<double>(qualities.size());
    opts.quality = quality;
    const double encode_ms = best_ms(repeat, [&] { imaging::encode(*im, "JPEG", opts); });
    const double coef_ms = best_ms(repeat, [&] { (void)model.encode(quality, optimize); });
    const double probe_ms = best_ms(repeat, [&] { imaging::encode(*im, "JPEG"); });
    const double probe_coef_ms = best_ms(repeat, [&] { (void)model.encode(75, false); });

    // Off and on take turns, so that a change in the machine's load weighs on both alike.
    Outcome outcome[2];
    double loop_ms[2] = {1e300, 1e300};
    for (int turn = 0; turn < 2 * repeat; ++turn) {
      const int on = turn % 2;
      compress_detail::set_trial_size_model(on == 1);
      loop_ms[on] =
          std::min(loop_ms[on], best_ms(1, [&] {
                     Value cfg = Value::dict();
                     cfg.set("maskmode", 1);
                     cfg.set("quality", quality);
                     cfg.set("ctrsize", ctrsize);
                     cfg.set("optimize", optimize);
                     cfg.set("tmpPath", scratch);
                     cfg.set("result", Value::dict());
                     cfg.at("result").set("compresscount", 0);
                     std::vector<int> tried;
                     compress_detail::set_trial_observer([&](int q) { tried.push_back(q); });
                     ImagePtr out = IMAGES::compress(scratch + "/photo.jpg", cfg, im, false);
                     compress_detail::set_trial_observer({});
                     outcome[on].tried = tried;
                     outcome[on].adopted =
                         out && out->info.adoption ? *out->info.adoption->bytes : std::string();
                   }));
      const std::string outfile = scratch + "/outfile.jpg";
      outcome[on].outfile = std::filesystem::exists(outfile) ? read_whole_file(outfile) : "";
      std::filesystem::remove(outfile);
    }
    compress_detail::set_trial_size_model(std::nullopt);
    if (outcome[0].tried != outcome[1].tried || outcome[0].outfile != outcome[1].outfile ||
        outcome[0].adopted != outcome[1].adopted) {
      std::fprintf(stderr, "%s: the loop's outcome differs with the model on\n", path.c_str());
      return 1;
    }
    // Which trials the model sized: those over the target by their bound that the loop went on
    // after (all but the last, and the one before a last trial at quality 1).
    std::string trials;
    const std::vector<int>& tried = outcome[1].tried;
    for (size_t i = 0; i < tried.size(); ++i) {
      const bool last = i + 1 == tried.size() || (i + 2 == tried.size() && tried.back() == 1);
      const bool by_model = !last && model.lower_bound(tried[i]) / 1024.0 > ctrsize;
      trials += (i ? " " : "") +
                (by_model ? "[" + std::to_string(tried[i]) + "]" : std::to_string(tried[i]));
    }
    std::string name = std::filesystem::path(path).stem().string().substr(0, 28);
    std::printf("%-28s %4dx%-4d %6.1f %7.2f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %7.2fx  %s\n",
                name.c_str(), im->width(), im->height(), model_ms, count_ms, encode_ms, coef_ms,
                probe_ms, probe_coef_ms, loop_ms[0], loop_ms[1], loop_ms[1] / loop_ms[0],
                trials.c_str());
    total_off += loop_ms[0];
    total_on += loop_ms[1];
  }
  std::printf("loop total: off %.1f ms, on %.1f ms (%.2fx)\n", total_off, total_on,
              total_on / total_off);
  std::filesystem::remove_all(scratch);
  return 0;
}
