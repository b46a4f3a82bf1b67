// Whole runs of the command-line tool over small trees made in the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "img_util/image.hpp"
#include "support/fixtures.hpp"
#include "support/sqlite_db.hpp"

namespace img_util::test {
namespace {

int shell(const std::string& cmd, std::string* out = nullptr) {
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  if (out) *out = text;
  const int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// An animated GIF of noisy frames, which a lossy pass makes clearly smaller.
void write_noisy_animation(const std::string& path) {
  const std::string cmd =
      "/usr/bin/python3 -c '\n"
      "import random, sys\n"
      "from PIL import Image\n"
      "random.seed(1)\n"
      "frames = []\n"
      "for k in range(4):\n"
      "    im = Image.new(\"RGB\", (64, 48))\n"
      "    im.putdata([(random.randrange(256), (x * 4 + k * 40) % 256, random.randrange(256)) for "
      "x in range(64 * 48)])\n"
      "    frames.append(im)\n"
      "frames[0].save(sys.argv[1], save_all=True, append_images=frames[1:], duration=100, loop=0)\n"
      "' '" +
      path + "'";
  ASSERT_EQ(shell(cmd), 0);
}

TEST(EndToEnd, LossyGifPassBacksUpCountsMarksAndLogs) {
  TempDir tmp;
  const std::string site = tmp / "site", plugin = tmp.plugin();
  fs::create_directories(site);
  fs::copy_file("/usr/bin/gifsicle", plugin + "/gifsicle");
  const std::string gif = site + "/anim.gif";
  write_noisy_animation(gif);
  const std::string original = read_file(gif);

  Value cfg = parse_json(R"({"maskmode": 1, "exts": [".gif"], "utimemode": 0, "utime": "",
      "isbackup": true, "isaprotect": true, "isgifsicle": true, "gif_qty": "O3", "gif_color": 5,
      "gif_loss": 80})");
  cfg.set("folder", site);
  write_file(tmp / "cfg.json", to_json(cfg));
  const std::vector<std::string> run = {"run",     tmp / "cfg.json", "--plugin-dir",     plugin,
                                        "--debug", "--report",       tmp / "report.json"};

  const CliResult first = run_cli(run);
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(first.out, "('" + gif + "', 'start')\n('" + gif + "', 'done')\n");
  EXPECT_NE(first.err.find("1 file seen: 1 written, 0 unchanged, 0 skipped, 0 failed"),
            std::string::npos)
      << first.err;

  const Value report = parse_json(read_file(tmp / "report.json"));
  EXPECT_TRUE(num_eq(report.at("result").at("compresscount"), 1));
  EXPECT_EQ(report.at("result").at("files"), Value(List{gif}));
  EXPECT_TRUE(num_eq(report.at("allmaxsize"), static_cast<int64_t>(original.size())));
  EXPECT_FALSE(report.contains("zfile"));

  const std::string now = read_file(gif);
  EXPECT_LT(now.size(), original.size());
  EXPECT_EQ(tail(gif), "Amask");

  // The archive holds the untouched original.
  std::vector<std::string> zips;
  for (const auto& e : fs::directory_iterator(plugin + "/backups")) zips.push_back(e.path());
  ASSERT_EQ(zips.size(), 1u);
  std::string restored;
  ASSERT_EQ(shell("unzip -p '" + zips[0] + "' '" + gif.substr(1) + "'", &restored), 0);
  EXPECT_TRUE(restored == original);

  const CliResult log = run_cli({"log", "--plugin-dir", plugin});
  EXPECT_EQ(log.exit_code, 0);
  EXPECT_NE(log.out.find("compress"), std::string::npos) << log.out;
  EXPECT_NE(log.out.find(site), std::string::npos);

  // A second run skips the marked file and changes nothing.
  const CliResult second = run_cli(run);
  ASSERT_EQ(second.exit_code, 0) << second.err;
  EXPECT_EQ(second.out, "");
  EXPECT_NE(second.err.find("1 file seen: 0 written, 0 unchanged, 1 skipped"), std::string::npos)
      << second.err;
  EXPECT_TRUE(read_file(gif) == now);
}

class StillRun : public ::testing::Test {
 protected:
  void SetUp() override {
    site = tmp / "site";
    plugin = tmp.plugin();
    fs::create_directories(site + "/sub");
    jpg = write_photo(site + "/a.jpg", 200, 150);
    png = write_photo(site + "/sub/b.png", 120, 90, Mode::RGBA);
    bad = site + "/bad.jpg";
    write_file(bad, "not an image at all");
    originals = {read_file(jpg), read_file(png), read_file(bad)};
    cfg = parse_json(R"({"subfold": true, "maskmode": 1, "exts": [".jpg", ".png"],
        "utimemode": 0, "utime": "", "isbackup": true, "yswidth": 100})");
    cfg.set("folder", site);
  }
  CliResult run(std::vector<std::string> extra = {}) {
    write_file(tmp / "cfg.json", to_json(cfg));
    std::vector<std::string> args = {"run",  tmp / "cfg.json", "--plugin-dir",
                                     plugin, "--report",       tmp / "report.json"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_cli(args);
  }
  std::vector<std::string> archives() {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(plugin + "/backups", ec)) out.push_back(e.path());
    return out;
  }
  std::string unzip(const std::string& zip, const std::string& path) {
    std::string out;
    EXPECT_EQ(shell("unzip -p '" + zip + "' '" + path.substr(1) + "'", &out), 0) << path;
    return out;
  }
  TempDir tmp;
  std::string site, plugin, jpg, png, bad;
  std::vector<std::string> originals;
  Value cfg;
};

TEST_F(StillRun, CompressesInPlaceBacksUpMarksAndLogs) {
  const CliResult r = run({"--debug"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto out = lines_of(r.out);
  std::sort(out.begin(), out.end());
  // The unreadable file is selected by its name but has nothing to write.
  EXPECT_EQ(out,
            (std::vector<std::string>{"('" + jpg + "', 'done')", "('" + jpg + "', 'start', '.')",
                                      "('" + bad + "', 'start', '.')", "('" + png + "', 'done')",
                                      "('" + png + "', 'start', '.')"}));

  for (const auto& [path, h] : {std::pair{jpg, 75}, std::pair{png, 75}}) {
    auto im = Image::open(path);
    EXPECT_EQ(im->width(), 100) << path;
    EXPECT_EQ(im->height(), h) << path;
    EXPECT_EQ(tail(path), "Amask") << path;
  }
  EXPECT_TRUE(read_file(bad) == originals[2]);

  const Value report = parse_json(read_file(tmp / "report.json"));
  EXPECT_TRUE(num_eq(report.at("result").at("compresscount"), 2));
  EXPECT_EQ(report.at("result").at("files").as_list().size(), 3u);

  const auto zips = archives();
  ASSERT_EQ(zips.size(), 1u);
  EXPECT_TRUE(unzip(zips[0], jpg) == originals[0]);
  EXPECT_TRUE(unzip(zips[0], png) == originals[1]);
  EXPECT_TRUE(unzip(zips[0], bad) == originals[2]);

  const auto log = lines_of(run_cli({"log", "--plugin-dir", plugin}).out);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_NE(log[1].find("finished"), std::string::npos) << log[1];
  EXPECT_NE(log[1].find("compress"), std::string::npos) << log[1];
  EXPECT_NE(log[1].find(" 2 "), std::string::npos) << log[1];
  EXPECT_EQ(log[2], "    archive " + zips[0]);
}

TEST_F(StillRun, OutpathMirrorsTheTreeAndLeavesSourcesAlone) {
  cfg.set("outpath", tmp / "out/tree");  // created by the tool when missing
  cfg.set("isbackup", false);
  const CliResult r = run({"--no-log"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(read_file(jpg) == originals[0]);
  EXPECT_TRUE(read_file(png) == originals[1]);
  EXPECT_EQ(Image::open(tmp / "out/tree/a.jpg")->width(), 100);
  EXPECT_EQ(tail(tmp / "out/tree/sub/b.png"), "Amask");
  EXPECT_NE(r.err.find("created the output folder"), std::string::npos) << r.err;
  EXPECT_TRUE(archives().empty());
}

TEST_F(StillRun, AFailingFileStopsTheRunButKeepsItsBackupReadable) {
  cfg.set("maskmode", 2);
  cfg.set("masktext", "sample");
  write_file(tmp / "no-such-font.ttf", "a file, but no font");  // readable: passes the check
  cfg.set("fontttf", tmp / "no-such-font.ttf");
  const CliResult r = run();
  EXPECT_EQ(r.exit_code, 1);
  const auto out = lines_of(r.out);
  ASSERT_EQ(out.size(), 1u) << r.out;
  EXPECT_EQ(out[0].substr(out[0].size() - 10), ", 'error')");
  EXPECT_NE(r.err.find("no-such-font.ttf"), std::string::npos) << r.err;

  const Value report = parse_json(read_file(tmp / "report.json"));
  EXPECT_FALSE(report.contains("zfile"));
  const auto zips = archives();
  ASSERT_EQ(zips.size(), 1u);
  EXPECT_EQ(shell("unzip -tqq '" + zips[0] + "'"), 0);
  // Nothing was counted, so the run log has no row; the tool's own record says how it ended.
  Database db(plugin + "/quorvane.sqlite3");
  EXPECT_FALSE(db.prepare("select 1 from sqlite_master where name = 'image_logs'").step());
  const auto log = lines_of(run_cli({"log", "--plugin-dir", plugin}).out);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_NE(log[1].find(" failed "), std::string::npos) << log[1];
  EXPECT_NE(log[2].find("no-such-font.ttf"), std::string::npos) << log[2];
  EXPECT_EQ(log[3], "    archive " + zips[0]);
  EXPECT_TRUE(read_file(jpg) == originals[0]);
  EXPECT_TRUE(read_file(png) == originals[1]);
}

TEST_F(StillRun, WithJumperrEveryFailingFileGetsItsLine) {
  cfg.set("maskmode", 2);
  cfg.set("masktext", "sample");
  write_file(tmp / "no-such-font.ttf", "a file, but no font");
  cfg.set("fontttf", tmp / "no-such-font.ttf");
  cfg.set("jumperr", true);
  const CliResult r = run({"--no-log"});
  EXPECT_EQ(r.exit_code, 3) << r.err;  // finished, but not every file
  auto out = lines_of(r.out);
  std::sort(out.begin(), out.end());
  // The unreadable file never gets as far as the font: there is nothing to stamp.
  EXPECT_EQ(out,
            (std::vector<std::string>{"('" + jpg + "', 'error')", "('" + png + "', 'error')"}));
  EXPECT_NE(r.err.find("3 files seen: 0 written, 1 unchanged, 0 skipped, 2 failed"),
            std::string::npos)
      << r.err;
}

}  // namespace
}  // namespace img_util::test
