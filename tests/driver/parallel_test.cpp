// Files worked on in parallel: whatever the number of jobs, a run leaves exactly what a run of
// one file at a time leaves (outputs, markers, archives, scratch files, counters, the file list
// and the module's lines), also when it stops at a failing file or a file changes mid-run.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver/work_ahead.hpp"
#include "helpers.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "support/cpus.hpp"
#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

constexpr const char* kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// Every file below `dir`: its bytes, or for a backup archive (named by the time it was made)
// its bytes under its place in the sorted listing.
using Tree = std::map<std::string, std::string>;

Tree snapshot(const std::string& dir) {
  Tree tree;
  if (!fs::exists(dir)) return tree;
  std::vector<std::string> archives;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    const std::string rel = fs::relative(e.path(), dir).string();
    if (e.path().extension() == ".zip")
      archives.push_back(rel);
    else
      tree[rel] = read_file(e.path().string());
  }
  std::sort(archives.begin(), archives.end());
  for (size_t i = 0; i < archives.size(); ++i)
    tree["archive #" + std::to_string(i)] = read_file(dir + "/" + archives[i]);
  return tree;
}

// What a run left, and what it said.
struct Outcome {
  Tree site, out, plugin;
  std::vector<std::string> lines;
  Value result;
  std::string error;  // what the run raised, if it did
};

class Parallel : public ::testing::Test {
 protected:
  // The same site each time: same names made in the same order, same bytes, same times, so
  // that the walk lists it in the same order and archives hold the same entries.
  void make_site() {
    fs::remove_all(site);
    fs::remove_all(out);
    fs::remove_all(tmp.plugin());
    fs::create_directories(site + "/sub/deep");
    fs::create_directories(tmp.plugin());
    int n = 0;
    auto photo = [&](const std::string& rel, int w, int h) {
      write_photo(site + "/" + rel, w, h, Mode::RGB, 90 - (n++ % 3) * 10);
    };
    photo("a.jpg", 640, 480);
    photo("b.jpg", 320, 900);
    write_photo(site + "/c.png", 300, 200, Mode::RGBA);
    photo("d.jpg", 200, 150);
    write_file(site + "/notes.txt", "not an image");
    write_file(site + "/bad.jpg", std::string("\xFF\xD8\xFF\xE0 broken", 12));
    photo("e.jpeg", 800, 600);
    write_file(site + "/anim.gif", gif_of_pixel_frames(40, 30, 3));
    photo("f.jpg", 500, 500);
    photo("sub/g.jpg", 700, 300);
    photo("sub/h.jpg", 64, 64);
    photo("sub/deep/i.jpg", 900, 700);
    write_photo(site + "/logo.png", 40, 20, Mode::RGBA);
    struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
    for (const auto& e : fs::recursive_directory_iterator(site))
      utimensat(AT_FDCWD, e.path().c_str(), times, 0);
  }

  Outcome run(const Value& config, int jobs, std::function<void(const std::string&)> on_file = {}) {
    make_site();
    set_plugin_dir(tmp.plugin());
    set_jobs(jobs);
    Value cfg = deep_copy(config);
    Outcome o;
    {
      CapturedLines lines;
      RunHooks hooks;
      if (on_file)
        hooks.on_file = [&](const std::string& fpath, FileOutcome, const std::string&) {
          on_file(fpath);
        };
      set_run_hooks(hooks);
      try {
        IMAGES().execute(cfg);
      } catch (const std::exception& e) {
        o.error = e.what();
      }
      set_run_hooks({});
      o.lines = lines.lines;
    }
    set_jobs(0);
    o.site = snapshot(site);
    o.out = snapshot(out);
    o.plugin = snapshot(tmp.plugin());
    o.result = cfg.at("result");
    return o;
  }

  static void expect_same(const Outcome& one, const Outcome& many) {
    EXPECT_EQ(one.error, many.error);
    EXPECT_EQ(one.lines, many.lines);
    EXPECT_TRUE(one.result == many.result) << py_repr(one.result) << "\n" << py_repr(many.result);
    for (const auto& [name, a, b] :
         {std::tuple{"site", &one.site, &many.site}, std::tuple{"out", &one.out, &many.out},
          std::tuple{"plugin", &one.plugin, &many.plugin}}) {
      EXPECT_EQ(a->size(), b->size()) << name;
      for (const auto& [rel, bytes] : *a) {
        auto it = b->find(rel);
        if (it == b->end())
          ADD_FAILURE() << name << "/" << rel << " missing with more jobs";
        else
          EXPECT_TRUE(it->second == bytes) << name << "/" << rel << " differs";
      }
    }
  }

  Value config(int maskmode) const {
    Value cfg = base_config(site, maskmode);
    cfg.set("subfold", true);
    cfg.set("jumperr", true);
    cfg.set("tmpPath", tmp / "plugin/trials");
    return cfg;
  }

  TempDir tmp;
  std::string site = tmp / "site";
  std::string out = tmp / "out";
};

TEST_F(Parallel, EveryConfigurationLeavesWhatOneJobLeaves) {
  struct Case {
    const char* name;
    std::function<void(Value&)> set;
  };
  const std::vector<Case> cases = {
      {"compress with backups and a target",
       [](Value& c) {
         c.set("isbackup", true);
         c.set("yswidth", 400);
         c.set("quality", 80);
         c.set("ctrsize", 8);
         c.set("optimize", true);
       }},
      {"mirrored tree, height only",
       [this](Value& c) {
         c.set("outpath", out);
         c.set("ysheight", 120);
         c.set("quality", 70);
       }},
      {"text watermark",
       [](Value& c) {
         c.set("maskmode", 2);
         c.set("iscompress", true);
         c.set("yswidth", 300);
         c.set("masktext", "© parallel");
         c.set("fontttf", kFont);
         c.set("isbackup", true);
       }},
      {"logo watermark",
       [this](Value& c) {
         c.set("maskmode", 3);
         c.set("maskimgPath", site + "/logo.png");
         c.set("markpos", 5);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Value cfg = config(1);
    c.set(cfg);
    const Outcome one = run(cfg, 1);
    ASSERT_TRUE(one.error.empty()) << one.error;
    EXPECT_GT(one.result.at("files").as_list().size(), 5u);
    expect_same(one, run(cfg, 2));
    expect_same(one, run(cfg, 3));
  }
}

// Without jumperr the first failing file in walk order ends the run: nothing of a later file
// may show, however far ahead the workers got.
TEST_F(Parallel, StopsAtTheFirstFailureInWalkOrder) {
  Value cfg = config(1);
  cfg.set("jumperr", false);
  cfg.set("isbackup", true);
  cfg.set("yswidth", 300);
  const Outcome one = run(cfg, 1);
  ASSERT_NE(one.error, "");
  expect_same(one, run(cfg, 2));
}

// A file that changes after a worker read it and before its turn is worked on again: the run
// writes what its turn finds, as one job would.
TEST_F(Parallel, AFileChangedBeforeItsTurnIsWorkedOnAgain) {
  Value cfg = config(1);
  cfg.set("yswidth", 300);
  std::vector<std::string> order;
  // After the first file, every later JPEG of the top folder is replaced by another picture.
  auto change_later_files = [&](const std::string& fpath) {
    order.push_back(fpath);
    if (order.size() != 1) return;
    for (const auto& e : fs::directory_iterator(site))
      if (e.path().extension() == ".jpg" && e.path() != fpath && e.path().stem() != "bad")
        write_photo(e.path().string(), 333, 222, Mode::RGB, 60);
  };
  const Outcome one = run(cfg, 1, change_later_files);
  order.clear();
  const Outcome two = run(cfg, 2, change_later_files);
  expect_same(one, two);
}

// A dry run says per file what the run would do, to the byte, and touches nothing: the site,
// the output tree and the plugin directory (no lock file, no scratch, no archive) stay as they
// were. Animations are the exception: only their selection is worked out.
TEST_F(Parallel, DryRunTellsWhatTheRunDoesAndTouchesNothing) {
  Value cfg = config(1);
  cfg.set("isbackup", true);
  cfg.set("outpath", out);
  cfg.set("yswidth", 400);
  cfg.set("quality", 80);
  cfg.set("ctrsize", 8);
  std::vector<std::string> said;
  auto record = [&](const std::string& fpath, FileOutcome outcome, const std::string& error) {
    const FileNote& n = file_note();
    if (fpath.size() > 4 && fpath.substr(fpath.size() - 4) == ".gif") return;
    said.push_back(fpath + " " + std::to_string(static_cast<int>(outcome)) + " " + error + " " +
                   n.skip_reason + " " + std::to_string(n.bytes_before) + " " +
                   std::to_string(n.bytes_written) + " " + std::to_string(n.quality.value_or(-1)) +
                   " " + n.unchanged_reason);
  };
  for (int jobs : {1, 2}) {
    SCOPED_TRACE(jobs);
    said.clear();
    make_site();
    fs::remove_all(tmp.plugin());
    const Tree before = snapshot(site);
    set_plugin_dir(tmp.plugin());
    set_jobs(jobs);
    set_dry_run(true);
    Value dry_cfg = deep_copy(cfg);
    {
      CapturedLines lines;
      set_run_hooks({record, {}});
      IMAGES().execute(dry_cfg);
      set_run_hooks({});
      EXPECT_TRUE(lines.lines.empty());
    }
    set_dry_run(false);
    set_jobs(0);
    EXPECT_TRUE(snapshot(site) == before);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(tmp.plugin()));
    EXPECT_EQ(py_repr(dry_cfg.at("result")), py_repr(cfg.at("result")));
    const std::vector<std::string> dry = said;

    said.clear();
    make_site();
    set_jobs(jobs);
    {
      CapturedLines lines;
      set_run_hooks({record, {}});
      IMAGES().execute(deep_copy(cfg));
      set_run_hooks({});
    }
    set_jobs(0);
    EXPECT_EQ(dry, said);
    EXPECT_GT(said.size(), 8u);
  }
}

// Work inside a file gets a second thread only on a CPU that no file uses, and never when its
// kind is switched off.
TEST(CpuBudget, SpareCpusAreOnlyThoseNoFileUses) {
  const int usable = usable_cpus();
  {
    // Outside a run the caller counts as one file.
    std::vector<SpareCpu> spares;
    while (SpareCpu cpu = SpareCpu::take(SpareUse::rows)) spares.push_back(std::move(cpu));
    EXPECT_EQ(static_cast<int>(spares.size()), std::max(0, usable - 1));
  }
  {
    std::vector<std::unique_ptr<FileCpu>> files;
    for (int i = 0; i < usable; ++i) files.push_back(std::make_unique<FileCpu>());
    EXPECT_FALSE(SpareCpu::take(SpareUse::trial_ahead));
    files.pop_back();
    SpareCpu one = SpareCpu::take(SpareUse::trial_ahead);
    EXPECT_EQ(static_cast<bool>(one), usable > 1);
    EXPECT_FALSE(SpareCpu::take(SpareUse::trial_ahead));
  }
  set_spare_uses_off(static_cast<unsigned>(SpareUse::rows));
  EXPECT_FALSE(SpareCpu::take(SpareUse::rows));
  EXPECT_EQ(static_cast<bool>(SpareCpu::take(SpareUse::beside_resize)), usable > 1);
  set_spare_uses_off(0);
}

// Entries handed over together are started largest first, so a large file listed last does
// not run alone at the end; the run's thread waits for each in turn.
TEST(Workers, StartTheLargestOfABatchFirst) {
  std::mutex m;
  std::vector<int64_t> order;
  Workers workers(1, [&](Ahead& a) {
    std::lock_guard lock(m);
    order.push_back(a.bytes);
  });
  std::vector<std::shared_ptr<Ahead>> batch;
  for (int64_t bytes : {3, 9, 1, 7}) {
    batch.push_back(std::make_shared<Ahead>());
    batch.back()->bytes = bytes;
  }
  const auto entries = batch;
  workers.hand_over(std::move(batch));
  for (const auto& a : entries) workers.wait_for(a);
  EXPECT_EQ(order, (std::vector<int64_t>{9, 7, 3, 1}));
}

}  // namespace
}  // namespace img_util::test
