// The flag commands build the configuration a JSON file would hold: the same outputs as the
// equivalent `run`, the JSON they print, and usage errors before anything is touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

class Flags : public ::testing::Test {
 protected:
  void SetUp() override {
    site = tmp / "site";
    fs::create_directories(site + "/sub");
    write_photo(site + "/a.jpg", 320, 240, Mode::RGB, 95);
    write_photo(site + "/sub/b.png", 200, 150, Mode::RGBA);
  }
  // Every file below `dir`, relative path -> bytes.
  std::vector<std::pair<std::string, std::string>> tree(const std::string& dir) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
      if (e.is_regular_file())
        out.emplace_back(fs::relative(e.path(), dir).string(), read_file(e.path().string()));
    std::sort(out.begin(), out.end());
    return out;
  }
  // Runs `flags` into out-flags, and the JSON they print through `run` into out-json.
  void expect_same_as_json_run(std::vector<std::string> flags) {
    std::vector<std::string> common = {"--plugin-dir", tmp.plugin(), "--no-log"};
    std::vector<std::string> with_out = flags;
    with_out.insert(with_out.end(), {"-o", tmp / "out-flags"});
    with_out.insert(with_out.end(), common.begin(), common.end());
    const CliResult ran = run_cli(with_out);
    ASSERT_EQ(ran.exit_code, 0) << ran.err;

    std::vector<std::string> printing = flags;
    printing.insert(printing.end(), {"-o", tmp / "out-json", "--print-config"});
    const CliResult printed = run_cli(printing);
    ASSERT_EQ(printed.exit_code, 0) << printed.err;
    write_file(tmp / "cfg.json", printed.out);
    const CliResult json =
        run_cli({"run", tmp / "cfg.json", "--plugin-dir", tmp.plugin(), "--no-log"});
    ASSERT_EQ(json.exit_code, 0) << json.err;
    const auto a = tree(tmp / "out-flags"), b = tree(tmp / "out-json");
    EXPECT_FALSE(a.empty());
    EXPECT_TRUE(a == b);
  }
  TempDir tmp;
  std::string site;
};

TEST_F(Flags, CompressEqualsTheJsonRunItPrints) {
  expect_same_as_json_run({"compress", site, "--max-width", "160", "--target", "12K", "--recursive",
                           "--ext", "jpg,.png"});
}

TEST_F(Flags, WatermarkEqualsTheJsonRunItPrints) {
  expect_same_as_json_run({"watermark", site, "--text", "Shop متجر", "--font",
                           "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", "--size", "24",
                           "--color", "#ffffff80", "--recursive"});
}

TEST_F(Flags, PrintedConfigurationSpellsTheFlagsOut) {
  const CliResult r = run_cli({"watermark", site, "--logo", tmp / "logo.png", "--position",
                               "left-top", "--margin", "4,6", "--opacity", "60", "--print-config"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const Value cfg = parse_json(r.out);
  EXPECT_EQ(cfg.at("maskmode"), Value(3));
  EXPECT_EQ(cfg.at("markpos"), Value("lefttop"));
  EXPECT_EQ(cfg.at("marginx"), Value(4));
  EXPECT_EQ(cfg.at("marginy"), Value(6));
  EXPECT_EQ(cfg.at("maskopacity"), Value(60));
  EXPECT_EQ(cfg.at("folder"), Value(site));
  EXPECT_FALSE(cfg.at("iscompress").truthy());
  EXPECT_TRUE(fs::is_empty(tmp.plugin()));
}

// -v says per file what happened and why; the summary adds the bytes saved.
TEST_F(Flags, VerboseSaysWhatBecameOfEachFile) {
  write_file(site + "/notes.txt", "not selected");
  write_file(site + "/text.jpg", "a text with an image's name");
  const std::string marked = write_photo(site + "/done.jpg", 40, 30);
  write_file(marked, read_file(marked) + "Amask");
  const CliResult r = run_cli({"compress", site, "--recursive", "--max-width", "160", "-v",
                               "--plugin-dir", tmp.plugin(), "--no-log"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const std::string& line :
       {"img_util: skipped '" + site + "/notes.txt': extension not taken",
        "img_util: skipped '" + site + "/done.jpg': already marked as compressed",
        "img_util: unchanged '" + site + "/text.jpg': not an image",
        "img_util: written '" + site + "/a.jpg': ", "img_util: written '" + site + "/sub/b.png': ",
        std::string("img_util: 2 files written: ")})
    EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
  EXPECT_NE(r.err.find("% saved)"), std::string::npos) << r.err;

  const CliResult again = run_cli({"compress", site, "--recursive", "--max-width", "160", "-v",
                                   "--plugin-dir", tmp.plugin(), "--no-log"});
  EXPECT_NE(again.err.find("img_util: skipped '" + site + "/a.jpg': already marked as compressed"),
            std::string::npos)
      << again.err;
  EXPECT_EQ(again.err.find("files written"), std::string::npos) << again.err;
}

// --dry-run says per file what the run would do, to the byte, and touches nothing: the site,
// the plugin directory (backups, run log, lock, scratch) stay as they were.
TEST_F(Flags, DryRunSaysWhatTheRunWouldDoAndTouchesNothing) {
  write_file(site + "/notes.txt", "not selected");
  write_file(site + "/text.jpg", "a text with an image's name");
  // A run log and an archive from an earlier run, which the dry run must leave alone.
  const std::string other = tmp / "other";
  fs::create_directories(other);
  write_photo(other + "/x.jpg", 300, 200);
  ASSERT_EQ(
      run_cli({"compress", other, "--max-width", "100", "--backup", "--plugin-dir", tmp.plugin()})
          .exit_code,
      0);
  const auto site_before = tree(site), plugin_before = tree(tmp.plugin());

  const std::vector<std::string> job = {"compress", site,       "--recursive",  "--max-width",
                                        "160",      "--backup", "--plugin-dir", tmp.plugin()};
  std::vector<std::string> dry = job;
  dry.push_back("--dry-run");
  const CliResult d = run_cli(dry);
  ASSERT_EQ(d.exit_code, 0) << d.err;
  EXPECT_TRUE(tree(site) == site_before);
  EXPECT_TRUE(tree(tmp.plugin()) == plugin_before);
  EXPECT_EQ(d.out, "");
  for (const std::string& line :
       {"img_util: would be skipped '" + site + "/notes.txt': extension not taken",
        "img_util: would stay unchanged '" + site + "/text.jpg': not an image",
        std::string("img_util: 2 files would be written: "),
        std::string("img_util: nothing was touched")})
    EXPECT_NE(d.err.find(line), std::string::npos) << line << "\n" << d.err;

  // The run itself then writes exactly what the dry run said.
  std::vector<std::string> verbose = job;
  verbose.push_back("-v");
  const CliResult r = run_cli(verbose);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const char* name : {"/a.jpg", "/sub/b.png"}) {
    const std::string said = "would be written '" + site + name + "': ";
    const size_t at = d.err.find(said);
    ASSERT_NE(at, std::string::npos) << d.err;
    const std::string figures =
        d.err.substr(at + said.size(), d.err.find('\n', at) - at - said.size());
    EXPECT_NE(r.err.find("written '" + site + name + "': " + figures), std::string::npos)
        << figures << "\n"
        << r.err;
  }
  EXPECT_NE(tree(site), site_before);
}

// --json writes one object per event: every outcome kind, then the summary.
TEST_F(Flags, JsonEventsForEachOutcomeThenTheSummary) {
  write_file(site + "/notes.txt", "not selected");
  write_file(site + "/text.jpg", "a text with an image's name");
  write_file(site + "/broken.png", std::string("\x89PNG\r\n\x1A\n", 8) + "not really");
  const CliResult r = run_cli({"compress", site, "--max-width", "160", "--keep-going", "--json",
                               tmp / "events.json", "--plugin-dir", tmp.plugin(), "--no-log"});
  ASSERT_EQ(r.exit_code, 3) << r.err;
  std::map<std::string, Value> by_path;
  Value summary;
  std::string text = read_file(tmp / "events.json");
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const Value e = parse_json(text.substr(start, end - start));
    if (e.at("event") == Value("summary"))
      summary = e;
    else
      by_path[e.at("path").as_text()] = e;
  }
  EXPECT_EQ(by_path.at(site + "/notes.txt").at("outcome"), Value("skipped"));
  EXPECT_EQ(by_path.at(site + "/notes.txt").at("reason"), Value("extension not taken"));
  EXPECT_EQ(by_path.at(site + "/text.jpg").at("outcome"), Value("unchanged"));
  EXPECT_EQ(by_path.at(site + "/broken.png").at("outcome"), Value("failed"));
  const Value& a = by_path.at(site + "/a.jpg");
  EXPECT_EQ(a.at("outcome"), Value("written"));
  EXPECT_GT(a.at("bytes_before").as_int(), a.at("bytes_after").as_int());
  EXPECT_EQ(summary.at("failed"), Value(1));
  EXPECT_EQ(summary.at("written"), Value(1));
  EXPECT_EQ(summary.at("exit_status"), Value(3));
}

TEST_F(Flags, UsageErrorsTouchNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {"compress"},
      {"compress", site, "--max-width", "wide"},
      {"compress", site, "--frobnicate"},
      {"watermark", site},
      {"watermark", site, "--text", "x", "--logo", "l.png"},
  };
  for (const auto& args : cases) {
    std::vector<std::string> with_plugin = args;
    with_plugin.insert(with_plugin.end(), {"--plugin-dir", tmp.plugin()});
    const CliResult r = run_cli(with_plugin);
    EXPECT_EQ(r.exit_code, 2) << args.back() << "\n" << r.err;
    EXPECT_TRUE(fs::is_empty(tmp.plugin())) << args.back();
  }
}

}  // namespace
}  // namespace img_util::test
