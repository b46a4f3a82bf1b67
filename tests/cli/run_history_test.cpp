// img_util log: how each run ended and the archives it wrote, beside the run log proper.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/run_log.hpp"
#include "support/fixtures.hpp"
#include "support/run_lock.hpp"
#include "support/sqlite_db.hpp"

namespace img_util::test {
namespace {

bool has(const std::string& line, const std::string& part) {
  return line.find(part) != std::string::npos;
}

class RunHistory : public ::testing::Test {
 protected:
  void SetUp() override {
    site = tmp / "site";
    plugin = tmp.plugin();
    fs::create_directories(site);
    write_photo(site + "/a.jpg", 120, 90);
    write_photo(site + "/b.jpg", 100, 80);
    cfg = parse_json(R"({"maskmode": 1, "exts": [".jpg"], "utimemode": 0, "utime": "",
        "isbackup": true, "yswidth": 50})");
    cfg.set("folder", site);
    write_file(tmp / "cfg.json", to_json(cfg));
  }
  CliResult run(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"run", tmp / "cfg.json", "--plugin-dir", plugin};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_cli(args);
  }
  std::vector<std::string> archives() {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(plugin + "/backups")) out.push_back(e.path());
    return out;
  }
  // A record of a run starting, as the tool makes it, with the given start.
  Value started_at(int64_t ctime) {
    Value d = cfg;
    d.set("result", parse_json(R"({"compresscount": 0, "maskcount": 0, "files": []})"));
    d.at("result").set("ctime", ctime);
    return d;
  }
  TempDir tmp;
  std::string site, plugin;
  Value cfg;
};

TEST_F(RunHistory, LogSaysHowEachRunEndedAndWhichArchivesItWrote) {
  set_plugin_dir(plugin);
  // Logged by the module's host alone: no record of how it went.
  Value hosted = started_at(1700000000);
  hosted.at("result").set("compresscount", 7);
  IMAGES().save_db(hosted);
  // A run whose process ended without completing its record (killed).
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    record_run_start(started_at(1700000100));
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  // A run still going: this process.
  record_run_start(started_at(1700000200));

  const CliResult first = run();
  ASSERT_EQ(first.exit_code, 0) << first.err;
  const std::vector<std::string> zips = archives();
  ASSERT_EQ(zips.size(), 1u);
  {
    RunLock held(plugin);
    EXPECT_EQ(run().exit_code, 1);
  }
  // Neither logged nor recorded.
  ASSERT_EQ(run({"--no-log"}).exit_code, 0);

  const CliResult r = run_cli({"log", "--plugin-dir", plugin});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> log = lines_of(r.out);
  ASSERT_EQ(log.size(), 8u) << r.out;
  EXPECT_TRUE(has(log[0], "started ") && has(log[0], " status ")) << log[0];
  EXPECT_TRUE(has(log[1], " failed ") && has(log[1], site)) << log[1];
  EXPECT_EQ(log[2], "    another run is using " + plugin +
                        " (lock held); wait for it or pass another --plugin-dir");
  EXPECT_TRUE(has(log[3], " finished ") && has(log[3], " 2 ")) << log[3];
  EXPECT_EQ(log[4], "    archive " + zips[0]);
  EXPECT_TRUE(has(log[5], " running ") && has(log[5], " - ")) << log[5];
  EXPECT_TRUE(has(log[6], " interrupted ") && has(log[6], " - ")) << log[6];
  EXPECT_TRUE(has(log[7], "  -  ") && has(log[7], " 7 ")) << log[7];
  EXPECT_NE(r.err.find("5 runs"), std::string::npos) << r.err;

  // The run log proper keeps its one row per counted run, as the host reads it.
  Database db(plugin + "/quorvane.sqlite3");
  Statement rows = db.prepare("select count(*) from image_logs");
  ASSERT_TRUE(rows.step());
  EXPECT_EQ(rows.column_int(0), 2);
}

TEST_F(RunHistory, AFinishedRunWithFailedFilesSaysHowMany) {
  write_file(site + "/broken.jpg", "not an image");
  // Selection itself fails on every file; with jumperr the run goes on past them.
  cfg.set("jumperr", true);
  cfg.set("_exts", "(");
  cfg.set("exts", ".jpg");
  write_file(tmp / "cfg.json", to_json(cfg));
  EXPECT_EQ(run().exit_code, 3);
  const std::vector<std::string> log = lines_of(run_cli({"log", "--plugin-dir", plugin}).out);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_TRUE(has(log[1], " finished ")) << log[1];
  EXPECT_EQ(log[2], "    3 files failed");
}

}  // namespace
}  // namespace img_util::test
