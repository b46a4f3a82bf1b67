// Whole runs where the literal result would lose a site owner's data or report a wrong result
// as success: a size target the written file meets, a run that stays out of its own folders,
// and a lossy GIF pass that finds its tool or says why not.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "img_util/image.hpp"
#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

class SiteRun : public ::testing::Test {
 protected:
  void SetUp() override {
    site = tmp / "site";
    plugin = tmp.plugin();
    fs::create_directories(site);
    cfg = parse_json(R"({"maskmode": 1, "exts": [".jpg", ".gif"], "utimemode": 0, "utime": "",
        "isbackup": false})");
    cfg.set("folder", site);
    cfg.set("tmpPath", tmp / "scratch");
  }
  CliResult run() {
    write_file(tmp / "cfg.json", to_json(cfg));
    return run_cli({"run", tmp / "cfg.json", "--plugin-dir", plugin, "--no-log", "--report",
                    tmp / "report.json"});
  }
  int64_t compresscount() {
    return parse_json(read_file(tmp / "report.json")).at("result").at("compresscount").as_int();
  }
  TempDir tmp;
  std::string site, plugin;
  Value cfg;
};

// A photo stored at quality 100 is far over the target although its encoding at the default
// quality fits: it is rewritten (and counted) so the file on disk meets the target.
TEST_F(SiteRun, SizeTargetIsMetByTheFileOnDisk) {
  const std::string jpg = write_photo(site + "/big.jpg", 400, 300, Mode::RGB, 100);
  const auto before = fs::file_size(jpg);
  const double target_kib = before / 1024.0 / 2;
  cfg.set("quality", 90);
  cfg.set("ctrsize", target_kib);
  const CliResult r = run();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(compresscount(), 1);
  EXPECT_EQ(tail(jpg), "Amask");
  EXPECT_LE((fs::file_size(jpg) - 5) / 1024.0, target_kib);
  EXPECT_EQ(Image::open(jpg)->width(), 400);

  // A file that already meets the target stays as it is.
  const std::string small = write_photo(site + "/small.jpg", 64, 48, Mode::RGB, 100);
  const std::string original = read_file(small);
  cfg.set("ctrsize", 1000);
  ASSERT_EQ(run().exit_code, 0);
  EXPECT_EQ(read_file(small), original);
}

// An output tree and a scratch folder below the folder: reruns neither process them again
// nor nest out/out.
TEST_F(SiteRun, RerunsWithTheOutputInsideTheFolderDoNotReprocessIt) {
  write_photo(site + "/a.jpg", 120, 90);
  cfg.set("subfold", true);
  cfg.set("yswidth", 60);
  cfg.set("outpath", site + "/out");
  cfg.set("tmpPath", site + "/scratch");
  for (int i = 0; i < 3; ++i) {
    const CliResult r = run();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(compresscount(), 1) << "run " << i;
  }
  EXPECT_TRUE(fs::exists(site + "/out/a.jpg"));
  EXPECT_FALSE(fs::exists(site + "/out/out"));
  EXPECT_FALSE(fs::exists(site + "/out/scratch"));
}

// An animation whose frames carry no display time is processed like any other, after its
// backup, instead of failing; one with its own times and loop count keeps them.
TEST_F(SiteRun, AnimatedGifsKeepTheirTimingOrHaveNone) {
  const std::string timed = site + "/timed.gif", untimed = site + "/untimed.gif";
  ASSERT_EQ(std::system(("/usr/bin/python3 -c 'from PIL import Image; fr = [Image.effect_noise("
                         "(48, 32), 60 + 40 * k).convert(\"P\") for k in range(3)]; fr[0].save("
                         "\"" +
                         timed +
                         "\", save_all=True, append_images=fr[1:], "
                         "duration=[40, 300, 90], loop=2); fr[0].save(\"" +
                         untimed +
                         "\", "
                         "save_all=True, append_images=fr[1:])'")
                            .c_str()),
            0);
  cfg.set("maskmode", 2);
  cfg.set("masktext", "proof");
  cfg.set("fontttf", "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
  cfg.set("isbackup", true);
  const CliResult r = run();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(tail(timed), "Bmask");
  EXPECT_EQ(tail(untimed), "Bmask");
  std::string times;
  ASSERT_EQ(std::system(("/usr/bin/python3 -c 'from PIL import Image\nfor p in (\"" + timed +
                         "\", \"" + untimed +
                         "\"):\n im = Image.open(p)\n t = []\n for k in "
                         "range(im.n_frames):\n  im.seek(k); t.append(im.info.get(\"duration\", 0))"
                         "\n print(t, im.info.get(\"loop\"))' > " +
                         tmp / "times.txt")
                            .c_str()),
            0);
  EXPECT_EQ(read_file(tmp / "times.txt"), "[40, 300, 90] 2\n[0, 0, 0] None\n");
}

// TIFF and run-length BMP files listed in exts are read and written; an image that cannot be
// read fails with a line that names it and says why, and a file that is no image is passed.
TEST_F(SiteRun, MoreFormatsAndUnreadableImagesSaySo) {
  ASSERT_EQ(std::system(("/usr/bin/python3 -c 'from PIL import Image; Image.effect_noise((80, 60), "
                         "50).convert(\"RGB\").save(\"" +
                         site + "/a.tif\", compression=\"tiff_lzw\")'")
                            .c_str()),
            0);
  // A 4x2 run-length BMP: two rows of runs over a three-colour palette.
  std::string pal;
  for (int i = 0; i < 3; ++i)
    pal += std::string{char(i * 100), char(200 - i * 50), char(i * 30), 0};
  const std::string rle = std::string("\x04\x01\x00\x00\x02\x02\x02\x00\x00\x00\x00\x01", 12);
  auto le32 = [](uint32_t v) {
    return std::string{char(v & 255), char(v >> 8 & 255), char(v >> 16 & 255), char(v >> 24)};
  };
  const std::string info = le32(40) + le32(4) + le32(2) + std::string("\x01\x00\x08\x00", 4) +
                           le32(1) + le32(rle.size()) + le32(0) + le32(0) + le32(3) + le32(0);
  const uint32_t offset = 14 + 40 + static_cast<uint32_t>(pal.size());
  write_file(site + "/b.bmp",
             "BM" + le32(offset + rle.size()) + le32(0) + le32(offset) + info + pal + rle);
  write_file(site + "/c.png", std::string("\x89PNG\r\n\x1A\n", 8) + "not really");
  write_file(site + "/notes.jpg", "a text file with an image's name");
  cfg.set("exts", parse_json(R"([".tif", ".bmp", ".png", ".jpg"])"));
  cfg.set("yswidth", 2);
  cfg.set("jumperr", true);
  cfg.set("outpath", tmp / "out");
  const CliResult r = run();
  EXPECT_EQ(r.exit_code, 3) << r.err;  // finished, one file failed
  EXPECT_EQ(Image::open(tmp / "out/a.tif")->width(), 2);
  EXPECT_EQ(Image::open(tmp / "out/b.bmp")->width(), 2);
  EXPECT_FALSE(fs::exists(tmp / "out/c.png"));
  // Said plainly: the file once, then the cause, without the exception's type.
  EXPECT_NE(r.err.find("img_util: '" + site + "/c.png': "), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("OSError"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("notes.jpg"), std::string::npos) << r.err;
}

// With --keep-mtime a written file keeps its source's modification time, in place and in an
// output tree; without it the file is new.
TEST_F(SiteRun, KeepMtimeKeepsTheSourcesTime) {
  const std::string a = write_photo(site + "/a.jpg", 120, 90),
                    b = write_photo(site + "/b.jpg", 120, 90);
  const auto old_time = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
  fs::last_write_time(a, old_time);
  fs::last_write_time(b, old_time);
  cfg.set("yswidth", 60);
  cfg.set("outpath", tmp / "out");
  write_file(tmp / "cfg.json", to_json(cfg));
  const std::vector<std::string> base = {"run", tmp / "cfg.json", "--plugin-dir", plugin,
                                         "--no-log"};
  std::vector<std::string> keep = base;
  keep.push_back("--keep-mtime");
  ASSERT_EQ(run_cli(keep).exit_code, 0);
  EXPECT_EQ(fs::last_write_time(tmp / "out/a.jpg"), old_time);
  EXPECT_EQ(tail(tmp / "out/a.jpg"), "Amask");

  cfg.erase("outpath");
  write_file(tmp / "cfg.json", to_json(cfg));
  ASSERT_EQ(run_cli(keep).exit_code, 0);  // in place
  EXPECT_EQ(fs::last_write_time(a), old_time);
  EXPECT_EQ(tail(a), "Amask");

  const std::string c = write_photo(site + "/c.jpg", 120, 90);
  fs::last_write_time(c, old_time);
  cfg.set("outpath", tmp / "out");
  write_file(tmp / "cfg.json", to_json(cfg));
  ASSERT_EQ(run_cli(base).exit_code, 0);
  EXPECT_GT(fs::last_write_time(tmp / "out/c.jpg"), old_time + std::chrono::hours(24 * 300));
}

// Without a tool in the plugin directory the one on PATH runs; without any, the file fails
// with a line that says what was looked for.
TEST_F(SiteRun, LossyGifPassUsesTheToolOnPathOrSaysItIsMissing) {
  if (!fs::exists("/usr/bin/gifsicle")) GTEST_SKIP() << "gifsicle is not installed";
  const std::string gif = site + "/anim.gif";
  ASSERT_EQ(std::system(("/usr/bin/python3 -c 'from PIL import Image; fr = [Image.effect_noise("
                         "(48, 32), 60 + 40 * k).convert(\"RGB\") for k in range(3)]; fr[0].save("
                         "\"" +
                         gif + "\", save_all=True, append_images=fr[1:], duration=80)'")
                            .c_str()),
            0);
  cfg.set("isgifsicle", true);
  cfg.set("gif_qty", "O3");
  cfg.set("gif_color", 5);
  cfg.set("gif_loss", 80);
  ASSERT_FALSE(fs::exists(plugin + "/gifsicle"));

  const CliResult found = run();  // the tests' PATH holds /usr/bin
  ASSERT_EQ(found.exit_code, 0) << found.err;
  EXPECT_EQ(compresscount(), 1);
  EXPECT_EQ(tail(gif), "Amask");

  const std::string saved_path = std::getenv("PATH");
  write_file(gif, read_file(gif).substr(0, fs::file_size(gif) - 5));
  ::setenv("PATH", (tmp / "empty").c_str(), 1);  // the child inherits it
  const CliResult missing = run();
  ::setenv("PATH", saved_path.c_str(), 1);
  EXPECT_NE(missing.exit_code, 0);
  EXPECT_NE(missing.err.find("No gifsicle in the plugin directory nor on PATH: '" + plugin +
                             "/gifsicle'"),
            std::string::npos)
      << missing.err;
}

}  // namespace
}  // namespace img_util::test
