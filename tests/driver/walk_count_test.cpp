// count_walk_entries: the count a progress display takes before a run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helpers.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

// The paths a run of `cfg` tells on_start and on_file of, every pipeline replaced by a no-op.
struct Told {
  std::vector<std::string> started, finished;
};
Told run_and_record(const Value& cfg) {
  Told told;
  RunHooks hooks;
  hooks.on_start = [&told](const std::string& p) { told.started.push_back(p); };
  hooks.on_file = [&told](const std::string& p, FileOutcome, const std::string&) {
    told.finished.push_back(p);
  };
  set_run_hooks(hooks);
  {
    SeamGuard seam([](IMAGES&, const std::string&, const Value&, bool) {});
    CapturedLines lines;
    IMAGES().execute(cfg);
  }
  set_run_hooks({});
  return told;
}

// A tree with everything the walk treats apart: folders to enter, the run's own folders (the
// plugin directory, the output tree and the scratch folder inside the site), links to a folder,
// to a file and to nothing, and files of unfinished atomic writes. The count must be what the
// run then tells of, entry for entry, with and without subfolders.
TEST(CountWalkEntries, IsWhatTheRunThenTellsOf) {
  TempDir tmp;
  const std::string root = tmp / "site";
  for (const char* d : {"sub/deep", "out", "plugin/backups", "scratch", "empty"})
    fs::create_directories(root + "/" + d);
  for (const char* f : {"a.jpg", "notes.txt", "sub/b.jpg", "sub/deep/c.gif", "out/a.jpg",
                        "plugin/backups/keep.txt", "scratch/infile.jpg"})
    write_file(root + "/" + f, "x");
  fs::create_directory_symlink(root + "/sub", root + "/link");
  fs::create_symlink(root + "/nowhere.jpg", root + "/broken.jpg");
  fs::create_symlink(root + "/a.jpg", root + "/alias.jpg");
  set_plugin_dir(root + "/plugin");
  Value cfg = base_config(root);
  cfg.set("outpath", root + "/out");
  cfg.set("tmpPath", root + "/scratch");

  struct Case {
    bool subfold;
    int64_t want;  // by hand, so a count and a run that both lose entries do not agree on it
  };
  // Without subfolders every entry of the root but the broken link and the unfinished write,
  // folders and links included; with them, the files of the site's own folders only.
  for (const Case& c : {Case{false, 9}, Case{true, 5}}) {
    SCOPED_TRACE(c.subfold ? "subfold" : "top level");
    cfg.set("subfold", c.subfold);
    // Made again each time: a run removes what unfinished writes left before it walks.
    for (const char* f : {".a.jpg.tmp-0123456789", "sub/.b.jpg.tmp-abcdefghij"})
      write_file(root + "/" + f, "x");
    const int64_t counted = count_walk_entries(cfg);
    const Told told = run_and_record(cfg);
    EXPECT_EQ(counted, c.want);
    EXPECT_EQ(counted, static_cast<int64_t>(told.finished.size()));
    EXPECT_EQ(told.started, told.finished);
  }
  set_plugin_dir(tmp.plugin());

  cfg.set("folder", root + "/missing");
  for (bool subfold : {false, true}) {
    cfg.set("subfold", subfold);
    EXPECT_EQ(count_walk_entries(cfg), 0);
  }
}

}  // namespace
}  // namespace img_util::test
