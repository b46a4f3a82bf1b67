// The img_util command line: usage, configuration checks, runs, reports and the run log.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "support/fixtures.hpp"
#include "support/run_lock.hpp"

namespace img_util::test {
namespace {

// Runs a shell command line; its standard output as `out`.
CliResult run_cli_via_shell(const std::string& cmd) {
  CliResult r;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = pclose(p);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    site = tmp / "site";
    fs::create_directories(site);
    plugin = tmp.plugin();
  }
  // Writes `cfg` as the configuration file and runs `img_util run` on it.
  CliResult run(const Value& cfg, std::vector<std::string> extra = {}) {
    write_file(tmp / "cfg.json", to_json(cfg));
    std::vector<std::string> args = {"run", tmp / "cfg.json", "--plugin-dir", plugin};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_cli(args);
  }
  Value config() {
    Value cfg = parse_json(R"({"maskmode": 1, "exts": [".jpg"], "utimemode": 0, "utime": ""})");
    cfg.set("folder", site);
    return cfg;
  }
  // The same with the result the host would add.
  Value record() {
    Value d = config();
    d.set("result", parse_json(R"({"ctime": 0, "compresscount": 0, "maskcount": 0, "files": []})"));
    return d;
  }
  TempDir tmp;
  std::string site, plugin;
};

TEST_F(Cli, UsageErrorsExitTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"run"},
      {"run", "a.json", "b.json"},
      {"run", "a.json", "--bogus"},
      {"run", "a.json", "--plugin-dir"},
      {"run", "a.json", "--report"},
      {"log", "--bogus"},
      {"log", "extra"},
  };
  for (const auto& args : cases) {
    const CliResult r = run_cli(args);
    EXPECT_EQ(r.exit_code, 2) << testing::PrintToString(args);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("img_util: "), std::string::npos) << r.err;
  }
}

TEST_F(Cli, HelpAndVersion) {
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--help"}, {"run", "--help"}, {"log", "--help"}}) {
    const CliResult r = run_cli(args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("usage: img_util", 0), 0u) << r.out;
  }
  const CliResult v = run_cli({"--version"});
  EXPECT_EQ(v.exit_code, 0);
  EXPECT_EQ(v.out, std::string("img_util ") + IMG_UTIL_VERSION + "\n");
}

TEST_F(Cli, ConfigurationErrorsExitTwoNamingTheProblem) {
  const struct {
    std::string json;
    std::string message;
  } cases[] = {
      {"{not json", "is not valid JSON: Expecting property name enclosed in double quotes"},
      {"[1, 2]", "img_util: the configuration must be a JSON object, got list\n"},
      {R"({"folder": "/", "maskmode": 1, "exts": "*.*", "utimemode": 0, "utime": "", "yswidth": "400"})",
       "img_util: config key 'yswidth' must be a number, got str\n"},
      {R"({"folder": 5, "maskmode": 1, "exts": "*.*", "utimemode": 0, "utime": ""})",
       "img_util: config key 'folder' must be a path text, got int\n"},
      {R"({"maskmode": 1, "exts": "*.*", "utimemode": 0, "utime": ""})",
       "img_util: config key 'folder' is missing (every run reads it)\n"},
      {R"({"folder": "/", "maskmode": 4, "exts": "*.*", "utimemode": 0, "utime": ""})",
       "img_util: config key 'maskmode' must be 1, 2 or 3, got 4\n"},
      {R"({"folder": "/", "maskmode": 2, "exts": "*.*", "utimemode": 0, "utime": "", "fontttf": "f.ttf"})",
       "img_util: config key 'masktext' is missing (maskmode 2 stamps this text)\n"},
      {R"({"folder": "/", "maskmode": 1, "exts": ".jpg", "utimemode": 0, "utime": ""})",
       "img_util: config key '_exts' is missing ('exts' is a text without \"*.*\")\n"},
      {R"({"folder": "/", "maskmode": 1, "exts": [".jpg", 3], "utimemode": 0, "utime": ""})",
       "img_util: config key 'exts' must be a text or a list of texts, got list\n"},
      {R"({"folder": "/", "maskmode": 1, "exts": "*.*", "utimemode": 0, "utime": "", "result": {"ctime": 1, "compresscount": 0, "maskcount": 0, "files": {}}})",
       "img_util: config key 'result.files' must be a list, got dict\n"},
      // A second "folder" would quietly win and walk a folder its author did not mean.
      {R"({"folder": "/", "maskmode": 1, "exts": "*.*", "utimemode": 0, "utime": "", "folder": "/"})",
       "img_util: config key 'folder' is given more than once in " + tmp / "cfg.json" +
           " (again at line 1 column 76 (char 75)); keep one\n"},
      {R"({"folder": "/", "maskmode": 1, "exts": "*.*", "utimemode": 0, "utime": "", "outpath": ")" +
           tmp / "cfg.json" + "\"}",
       "img_util: config key 'outpath': '" + tmp / "cfg.json" + "' exists and is not a folder\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    write_file(tmp / "cfg.json", c.json);
    const CliResult r = run_cli({"run", tmp / "cfg.json", "--plugin-dir", plugin});
    EXPECT_EQ(r.exit_code, 2) << c.json;
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(plugin)) << "a refused configuration touched the plugin directory";
  }
  const CliResult missing = run_cli({"run", tmp / "nope.json", "--plugin-dir", plugin});
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;
}

// Every mistake a hand-written configuration makes is listed at once, before anything is
// touched; valid settings that do nothing together are only warned about.
TEST_F(Cli, ConfigurationIsCheckedWholeBeforeTheRun) {
  write_file(site + "/a.jpg", "x");
  const std::string base = R"({"maskmode": 1, "exts": [".jpg"], "utimemode": 0, "utime": "", )";
  const struct {
    std::string members;
    std::vector<std::string> messages;
  } cases[] = {
      {R"("yswidht": 1200, "qualty": 80, "colour": 1)",
       {"unknown key 'yswidht' (did you mean 'yswidth'?)",
        "unknown key 'qualty' (did you mean 'quality'?)", "unknown key 'colour'\n"}},
      {R"("quality": 150, "ctrsize": -1, "yswidth": -5, "maskopacity": 120)",
       {"config key 'quality' must be from 1 to 100 (0 or empty: not set), got 150",
        "config key 'ctrsize' must be above 0 KiB (0 or empty: no target), got -1",
        "config key 'yswidth' must be at least 1 pixel (0 or empty: not set), got -5",
        "config key 'maskopacity' must be a percentage from 0 to 100, got 120"}},
      {R"("exts": ["jpg", ".JPG", ""])",
       {"config key 'exts' entry 'jpg' can never match: write it with one dot, as '.jpg'",
        "config key 'exts' entry '.JPG' can never match: extensions are compared in lower case "
        "('.jpg')",
        "config key 'exts' entry '' can never match: it names no extension"}},
      {R"("utimemode": 1, "utime": "2024-05-01")",
       {"config key 'utime' must be a UTC time written \"YYYY-MM-DD HH:MM:SS\", got "
        "'2024-05-01'"}},
      {R"("markpos": "bottom", "maskmode": 3, "maskimgPath": "/no/logo.png")",
       {"config key 'markpos' must be rightbottom, leftbottom, lefttop, righttop or center, got "
        "'bottom'",
        "config key 'maskimgPath' '/no/logo.png' cannot be read: No such file or directory"}},
      {R"("isgifsicle": true, "gif_qty": "O9", "gif_color": 10, "gif_loss": 30)",
       {"config key 'gif_qty' must be \"O1\", \"O2\" or \"O3\" (gifsicle's -O levels), got 'O9'",
        "config key 'gif_color' must be a whole number from 1 to 8 (2 to 256 colours), got 10"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.members);
    std::string json = base + c.members + R"(, "folder": ")" + site + "\"}";
    // A later duplicate of a key given in `base` is the case's own value.
    Value cfg = parse_json(json);
    write_file(tmp / "cfg.json", to_json(cfg));
    const CliResult r = run_cli({"run", tmp / "cfg.json", "--plugin-dir", plugin});
    EXPECT_EQ(r.exit_code, 2);
    for (const std::string& m : c.messages)
      EXPECT_NE(r.err.find("img_util: " + m), std::string::npos) << m << "\n" << r.err;
    EXPECT_TRUE(fs::is_empty(plugin));
  }

  Value cfg = config();
  cfg.set("folder", tmp / "missing");
  const CliResult missing = run(cfg);
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_NE(missing.err.find("config key 'folder' '" + (tmp / "missing") +
                             "' cannot be read: No such file or directory"),
            std::string::npos)
      << missing.err;

  cfg = config();
  cfg.set("ctrsize", 200);
  cfg.set("outpath", site + "/out");
  const CliResult warned = run(cfg, {"--no-log"});
  EXPECT_EQ(warned.exit_code, 0) << warned.err;
  EXPECT_NE(warned.err.find("img_util: warning: 'ctrsize' has no effect without a 'quality' below "
                            "100"),
            std::string::npos)
      << warned.err;
  EXPECT_NE(warned.err.find("img_util: warning: 'outpath' '" + site +
                            "/out' lies inside 'folder'; the run does not enter it"),
            std::string::npos)
      << warned.err;
}

TEST_F(Cli, RunAddsAResultAndReportsTheFinishedConfiguration) {
  write_file(site + "/notes.txt", "not selected");
  const CliResult r = run(config(), {"--report", tmp / "report.json"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("1 file seen: 0 written, 0 unchanged, 1 skipped, 0 failed"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("compresscount 0, maskcount 0, 0 backup archives"), std::string::npos);

  const Value report = parse_json(read_file(tmp / "report.json"));
  EXPECT_EQ(report.as_dict().items().front().first, "maskmode");  // the file's own key order
  const Value result = report.at("result");
  EXPECT_TRUE(result.at("ctime").is_int());
  EXPECT_TRUE(num_eq(result.at("compresscount"), 0));
  EXPECT_TRUE(num_eq(result.at("maskcount"), 0));
  EXPECT_EQ(result.at("files"), Value::list());
  EXPECT_TRUE(num_eq(report.at("allmaxsize"), 0));
  EXPECT_FALSE(report.contains("zfile"));
  // Nothing counted: the log holds its table but no row.
  EXPECT_TRUE(fs::exists(plugin + "/quorvane.sqlite3"));
}

TEST_F(Cli, ConfigurationFromStandardInputWithAByteOrderMark) {
  write_file(site + "/notes.txt", "x");
  const CliResult r =
      run_cli({"run", "-", "--plugin-dir", plugin, "--no-log"}, "\xEF\xBB\xBF" + to_json(config()));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("1 file seen"), std::string::npos) << r.err;
}

// On a terminal the tool keeps one progress line up to date on standard error and clears it
// before the summary. `script` gives the run a pseudo-terminal.
TEST_F(Cli, ProgressLineOnATerminal) {
  write_file(site + "/notes.txt", "x");
  write_file(tmp / "cfg.json", to_json(config()));
  const std::string cmd = std::string(IMG_UTIL_CLI_PATH) + " run " + (tmp / "cfg.json") +
                          " --no-log --plugin-dir " + plugin;
  const CliResult r = run_cli_via_shell("script -qec '" + cmd + "' /dev/null");
  EXPECT_NE(r.out.find("\r\033[K1/1 100%  ETA "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\r\033[Kimg_util: done in "), std::string::npos) << r.out;
}

// Run from "/" with neither --plugin-dir nor tmpPath: the plugin directory comes from the
// environment, and the trials go to its temp/ instead of a ./temp that cannot be made.
TEST_F(Cli, PluginDirFromTheEnvironmentAndTrialsInItsTemp) {
  write_photo(site + "/a.jpg", 64, 48, Mode::RGB, 100);
  Value cfg = config();
  cfg.set("quality", 60);
  write_file(tmp / "cfg.json", to_json(cfg));
  const CliResult r =
      run_cli_via_shell("cd / && IMG_UTIL_PLUGIN_DIR='" + plugin + "' " + IMG_UTIL_CLI_PATH +
                        " run '" + (tmp / "cfg.json") + "' 2>&1");
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(tail(site + "/a.jpg"), "Amask");
  EXPECT_TRUE(fs::exists(plugin + "/temp/infile.jpg"));
  EXPECT_TRUE(fs::exists(plugin + "/quorvane.sqlite3"));
  EXPECT_FALSE(fs::exists("/temp/infile.jpg"));
}

TEST_F(Cli, FailedRunExitsOneAndStillWritesTheReport) {
  write_file(site + "/a.jpg", "x");
  Value cfg = config();
  cfg.set("exts", ".jpg");
  cfg.set("_exts", "(");  // not a pattern: selection itself fails on the first file
  const CliResult r = run(cfg, {"--report", tmp / "report.json", "--no-log"});
  EXPECT_EQ(r.exit_code, 1);
  // The cause is said once, beside its file; then why the run stopped.
  const std::string cause = "invalid regular expression '('";
  EXPECT_NE(r.err.find("img_util: '" + site + "/a.jpg': " + cause), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(cause, r.err.find(cause) + 1), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("img_util: stopped at the first file that failed (set \"jumperr\": true"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(parse_json(read_file(tmp / "report.json")).contains("result"));
  EXPECT_FALSE(fs::exists(plugin + "/quorvane.sqlite3"));
}

TEST_F(Cli, FailingFileGivesTheModuleLineOnStdoutAndTheCauseOnStderr) {
  write_file(site + "/a.jpg", "x");
  Value cfg = config();
  cfg.set("exts", ".jpg");
  cfg.set("_exts", "(");  // not a pattern: selection itself fails on the first file
  const CliResult r = run(cfg);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "('" + site + "/a.jpg', 'error')\n");
  EXPECT_NE(r.err.find("img_util: '" + site + "/a.jpg': "), std::string::npos) << r.err;
}

TEST_F(Cli, SecondRunOnABusyPluginDirFails) {
  RunLock held(plugin);
  const CliResult r = run(config());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("img_util: another run is using " + plugin +
                       " (lock held); wait for it or pass another --plugin-dir"),
            std::string::npos)
      << r.err;
}

TEST_F(Cli, LogShowsRunsNewestFirst) {
  const CliResult empty = run_cli({"log", "--plugin-dir", plugin});
  EXPECT_EQ(empty.exit_code, 0);
  EXPECT_EQ(empty.out, "");
  EXPECT_NE(empty.err.find("no runs logged yet"), std::string::npos);

  set_plugin_dir(plugin);
  for (int i = 0; i < 2; ++i) {
    Value d = record();
    d.set("maskmode", i == 0 ? Value(1) : Value(2.0));
    d.at("result").set("ctime", 1700000000 + i * 100);
    d.at("result").set("compresscount", 3 + i);
    d.at("result").set("maskcount", i);
    IMAGES().save_db(d);
  }
  const CliResult r = run_cli({"log", "--plugin-dir", plugin});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> lines;
  std::string line;
  for (char c : r.out) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0].rfind("started", 0), 0u);
  EXPECT_NE(lines[1].find("text"), std::string::npos);
  EXPECT_NE(lines[1].find(" 4 "), std::string::npos);
  EXPECT_NE(lines[2].find("compress"), std::string::npos);
  EXPECT_NE(lines[2].find(site), std::string::npos);
}

}  // namespace
}  // namespace img_util::test
