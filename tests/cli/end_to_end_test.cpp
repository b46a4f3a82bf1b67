// Whole runs of the command-line tool over small trees made in the test.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "support/fixtures.hpp"

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
      "    im.putdata([(random.randrange(256), (x * 4 + k * 40) % 256, random.randrange(256)) for x in range(64 * 48)])\n"
      "    frames.append(im)\n"
      "frames[0].save(sys.argv[1], save_all=True, append_images=frames[1:], duration=100, loop=0)\n"
      "' '" + path + "'";
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
  const std::vector<std::string> run = {"run", tmp / "cfg.json", "--plugin-dir", plugin, "--debug",
                                        "--report", tmp / "report.json"};

  const CliResult first = run_cli(run);
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(first.out, "('" + gif + "', 'start')\n('" + gif + "', 'done')\n");
  EXPECT_NE(first.err.find("1 files seen, 1 processed, 0 skipped, 0 failed"), std::string::npos)
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
  EXPECT_NE(second.err.find("1 files seen, 0 processed, 1 skipped"), std::string::npos)
      << second.err;
  EXPECT_TRUE(read_file(gif) == now);
}

}  // namespace
}  // namespace img_util::test
