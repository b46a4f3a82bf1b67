// execute and enpath: the walk, routing, error policy, archive completion and the run lock.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "helpers.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "support/fixtures.hpp"
#include "support/run_lock.hpp"

namespace img_util::test {
namespace {

struct Call {
  std::string path;
  bool gif;
};

// A handle that counts how often it was closed.
struct FakeArchive : Handle {
  int closes = 0;
  void close() override { ++closes; }
  std::string type_name() const override { return "ZipFile"; }
};

class Execute : public ::testing::Test {
 protected:
  void SetUp() override {
    root = tmp / "site";
    fs::create_directories(root);
  }
  // Runs execute with every entry recorded instead of processed; entries whose name holds
  // "bad" raise.
  void run(const Value& cfg) {
    SeamGuard seam([this](IMAGES&, const std::string& fpath, const Value&, bool gif) {
      calls.push_back({fpath, gif});
      if (fpath.find("bad") != std::string::npos) throw std::runtime_error("broken " + fpath);
    });
    IMAGES().execute(cfg);
  }
  std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (const auto& c : calls) out.push_back(c.path);
    return out;
  }
  TempDir tmp;
  std::string root;
  std::vector<Call> calls;
};

TEST_F(Execute, RoutesByGifSuffixAnyCaseTopLevelOnly) {
  for (const char* name : {"PHOTO.GIF", "a.Gif", "a.gif.jpg", "agif", ".hidden.jpg"})
    write_file(root + "/" + name, "x");
  fs::create_directories(root + "/x.gif");
  fs::create_directories(root + "/x");
  write_file(root + "/x/inner.jpg", "x");
  run(base_config(root));

  std::vector<std::pair<std::string, bool>> got;
  for (const auto& c : calls) got.emplace_back(c.path.substr(root.size() + 1), c.gif);
  std::sort(got.begin(), got.end());
  const std::vector<std::pair<std::string, bool>> want = {
      {".hidden.jpg", false}, {"PHOTO.GIF", true}, {"a.Gif", true}, {"a.gif.jpg", false},
      {"agif", false},        {"x", false},        {"x.gif", true}};
  EXPECT_EQ(got, want);
}

TEST_F(Execute, RecursiveWalkIsTopDownAndSkipsLinksToDirsAndBrokenLinks) {
  fs::create_directories(root + "/sub/deep");
  write_file(root + "/a.jpg", "x");
  write_file(root + "/sub/b.jpg", "x");
  write_file(root + "/sub/deep/c.jpg", "x");
  fs::create_directory_symlink(root + "/sub", root + "/link");
  fs::create_symlink(root + "/nowhere.jpg", root + "/broken.jpg");
  fs::create_symlink(root + "/a.jpg", root + "/alias.jpg");
  CapturedLines out;
  Value cfg = base_config(root);
  cfg.set("subfold", true);
  run(cfg);

  auto got = paths();
  std::sort(got.begin(), got.begin() + 2);  // root's two files come first, in OS order
  const std::vector<std::string> want = {root + "/a.jpg", root + "/alias.jpg", root + "/sub/b.jpg",
                                         root + "/sub/deep/c.jpg"};
  EXPECT_EQ(got, want);
  EXPECT_TRUE(out.lines.empty());
}

// The run's own folders below `folder` (named in other spellings than the walk's) are not
// entered; a folder that merely shares a name with one of them still is.
TEST_F(Execute, RecursiveWalkDoesNotEnterTheRunsOwnFolders) {
  for (const char* d : {"out/out", "plugin/backups", "plugin/temp", "scratch", "photos/out"})
    fs::create_directories(root + "/" + d);
  for (const char* f : {"a.jpg", "out/a.jpg", "out/out/a.jpg", "plugin/temp/frame.jpg",
                        "scratch/infile.jpg", "photos/out/b.jpg"})
    write_file(root + "/" + f, "x");
  set_plugin_dir(root + "/photos/../plugin");
  Value cfg = base_config(root);
  cfg.set("subfold", true);
  cfg.set("outpath", root + "/out/");
  cfg.set("tmpPath", root + "/./scratch");
  run(cfg);
  set_plugin_dir(tmp.plugin());

  auto got = paths();
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{root + "/a.jpg", root + "/photos/out/b.jpg"}));
}

TEST_F(Execute, RootWithTrailingSlashJoinsWithoutDoubling) {
  write_file(root + "/a.jpg", "x");
  Value cfg = base_config(root + "/");
  run(cfg);
  EXPECT_EQ(paths(), std::vector<std::string>{root + "/a.jpg"});
}

TEST_F(Execute, MissingFolder) {
  auto archive = std::make_shared<FakeArchive>();
  Value cfg = base_config(root + "/missing");
  cfg.set("subfold", 1);
  cfg.set("zfile", std::shared_ptr<Handle>(archive));
  run(cfg);  // recursive: nothing to do, no error
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(archive->closes, 1);
  EXPECT_FALSE(cfg.contains("zfile"));

  cfg.set("subfold", false);
  try {
    run(cfg);
    FAIL() << "listing a missing folder must fail at top level";
  } catch (const OSError& e) {
    EXPECT_EQ(e.error_number(), ENOENT);
    EXPECT_EQ(e.filename(), root + "/missing");
  }
}

TEST_F(Execute, JumperrGoesOnAfterEachFailure) {
  for (const char* name : {"bad1.jpg", "bad2.jpg", "good1.jpg", "good2.jpg"})
    write_file(root + "/" + name, "x");
  CapturedLines out;
  Value cfg = base_config(root);
  cfg.set("jumperr", true);
  auto archive = std::make_shared<FakeArchive>();
  cfg.set("zfile", std::shared_ptr<Handle>(archive));
  run(cfg);
  EXPECT_EQ(calls.size(), 4u);
  std::sort(out.lines.begin(), out.lines.end());
  EXPECT_EQ(out.lines, (std::vector<std::string>{"('" + root + "/bad1.jpg', 'error')",
                                                 "('" + root + "/bad2.jpg', 'error')"}));
  EXPECT_EQ(archive->closes, 1);
  EXPECT_FALSE(cfg.contains("zfile"));
}

TEST_F(Execute, FirstFailureEndsTheRunWithoutJumperr) {
  write_file(root + "/it's bad.jpg", "x");
  CapturedLines out;
  Value cfg = base_config(root);
  auto archive = std::make_shared<FakeArchive>();
  cfg.set("zfile", std::shared_ptr<Handle>(archive));
  EXPECT_THROW(run(cfg), std::runtime_error);
  EXPECT_EQ(out.lines, std::vector<std::string>{"(\"" + root + "/it's bad.jpg\", 'error')"});
  EXPECT_EQ(archive->closes, 0);
  EXPECT_TRUE(cfg.contains("zfile"));
}

TEST_F(Execute, AllmaxsizeAddedOnlyWhenAbsentAndTempDirCreated) {
  Value cfg = base_config(root);
  run(cfg);
  EXPECT_TRUE(num_eq(cfg.at("allmaxsize"), 0));
  EXPECT_TRUE(fs::is_directory(IMAGES::tmpPath()));
  cfg.set("allmaxsize", 5);
  run(cfg);
  EXPECT_TRUE(num_eq(cfg.at("allmaxsize"), 5));
}

TEST_F(Execute, ConfigurationErrors) {
  Value cfg = base_config(root);
  cfg.erase("folder");
  EXPECT_THROW(run(cfg), KeyError);

  // A plain file where the scratch directory belongs fails before the folder is read.
  fs::remove(IMAGES::tmpPath());
  write_file(IMAGES::tmpPath(), "not a directory");
  EXPECT_THROW(run(cfg), OSError);
}

TEST_F(Execute, ReportsOutcomesThroughHooks) {
  for (const char* name : {"bad.jpg", "picked.jpg", "refused.jpg"})
    write_file(root + "/" + name, "x");
  std::vector<std::pair<std::string, FileOutcome>> seen;
  int polls = 0;
  RunHooks hooks;
  hooks.on_file = [&](const std::string& p, FileOutcome o, const std::string&) {
    seen.emplace_back(fs::path(p).filename().string(), o);
  };
  hooks.poll = [&] { ++polls; };
  set_run_hooks(hooks);
  Value cfg = base_config(root);
  cfg.set("jumperr", true);
  {
    SeamGuard seam([](IMAGES&, const std::string& fpath, const Value&, bool) {
      if (fpath.find("picked") != std::string::npos) note_file_selected();
      if (fpath.find("bad") != std::string::npos) {
        note_file_selected();
        throw ValueError("no");
      }
    });
    CapturedLines out;
    IMAGES().execute(cfg);
  }
  set_run_hooks({});
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, FileOutcome>>{
                      {"bad.jpg", FileOutcome::Failed},
                      {"picked.jpg", FileOutcome::Processed},
                      {"refused.jpg", FileOutcome::Skipped}}));
  EXPECT_EQ(polls, 3);
}

TEST_F(Execute, SecondRunOnTheSamePluginDirFailsAtOnceAndTouchesNothing) {
  write_file(root + "/a.jpg", "x");
  RunLock held(basedir());
  Value cfg = base_config(root);
  try {
    run(cfg);
    FAIL() << "a second run must not start";
  } catch (const OSError& e) {
    EXPECT_EQ(e.error_number(), EBUSY);
    EXPECT_NE(std::string(e.what()).find("another run is using"), std::string::npos);
    EXPECT_EQ(e.filename(), basedir() + "/.img_util.lock");
  }
  EXPECT_TRUE(calls.empty());
  EXPECT_FALSE(cfg.contains("allmaxsize"));
  EXPECT_FALSE(fs::exists(IMAGES::tmpPath()));
}

TEST_F(Execute, LockIsReleasedWhenTheRunRaises) {
  write_file(root + "/bad.jpg", "x");
  Value cfg = base_config(root);
  CapturedLines out;
  EXPECT_THROW(run(cfg), std::runtime_error);
  EXPECT_NO_THROW(RunLock again(basedir()));
}

// Removes `name` below `dir` and everything in it through descriptors, as paths deeper than
// PATH_MAX cannot be removed by name.
void remove_at(int dir, const std::string& name) {
  const int fd = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    ::unlinkat(dir, name.c_str(), 0);
    return;
  }
  std::unique_ptr<DIR, int (*)(DIR*)> d(::fdopendir(fd), ::closedir);
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(d.get()))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
  for (const std::string& n : names) remove_at(fd, n);
  d.reset();
  ::unlinkat(dir, name.c_str(), AT_REMOVEDIR);
}

TEST_F(Execute, PathsTooLongForTheSystemAreReportedNotSkipped) {
  // A chain of directories whose deepest one has a path 20 bytes short of PATH_MAX: a short
  // name there still fits, a long one or a further directory does not.
  std::vector<std::string> chain;
  for (size_t len = root.size(); len < PATH_MAX - 20;) {
    const size_t room = PATH_MAX - 20 - len - 1;
    chain.push_back(std::string(room > 252 ? 250 : room, 'd'));
    len += chain.back().size() + 1;
  }
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string deepest = root;
  for (const std::string& name : chain) {
    ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
    const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
    deepest += "/" + name;
  }
  ASSERT_EQ(deepest.size(), PATH_MAX - 20u);
  const std::string long_name(246, 'f');
  for (const std::string& file : {std::string("short.jpg"), long_name + ".jpg"})
    ::close(::openat(fd, file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  const std::string deeper_name = "deeper" + std::string(40, 'x');
  ASSERT_EQ(::mkdirat(fd, deeper_name.c_str(), 0755), 0);
  const int deeper = ::openat(fd, deeper_name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ::close(::openat(deeper, "unseen.jpg", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  ::close(deeper);
  ::close(fd);

  Value cfg = base_config(root);
  cfg.set("subfold", true);
  cfg.set("jumperr", true);
  std::vector<std::string> causes;
  RunHooks hooks;
  hooks.on_file = [&](const std::string&, FileOutcome outcome, const std::string& error) {
    if (outcome == FileOutcome::Failed) causes.push_back(error);
  };
  set_run_hooks(hooks);
  CapturedLines out;
  run(cfg);
  set_run_hooks({});
  const int top = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  remove_at(top, chain.front());
  ::close(top);

  // Compared by their last part: the whole paths would flood a failure's message.
  auto last_parts = [&deepest](const std::vector<std::string>& texts, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& t : texts)
      out.push_back(t.rfind(prefix + deepest + "/", 0) == 0
                        ? t.substr(prefix.size() + deepest.size() + 1)
                        : "elsewhere: " + t.substr(0, 80));
    std::sort(out.begin(), out.end());
    return out;
  };
  EXPECT_EQ(last_parts(paths(), ""), std::vector<std::string>{"short.jpg"});
  EXPECT_EQ(last_parts(out.lines, "('"),
            (std::vector<std::string>{deeper_name + "', 'error')", long_name + ".jpg', 'error')"}));
  ASSERT_EQ(causes.size(), 2u);
  for (const std::string& cause : causes)
    EXPECT_TRUE(
        cause.starts_with("OSError: [Errno 36] Path too long for the system (4096 bytes "
                          "at most); not processed: '"))
        << cause.substr(0, 120);
}

TEST(Enpath, UsablePathsComeBackUnchanged) {
  TempDir tmp;
  const std::string file = tmp / "a.jpg";
  write_file(file, "x");
  fs::create_symlink(tmp / "gone", tmp / "broken");
  IMAGES images;
  EXPECT_EQ(images.enpath(file), file);
  EXPECT_EQ(images.enpath(tmp.str()), tmp.str());
  EXPECT_EQ(images.enpath(tmp / "missing"), "");
  EXPECT_EQ(images.enpath(tmp / "broken"), "");
  EXPECT_EQ(images.enpath(""), "");
}

TEST(ModuleValues, DerivedPathsFollowThePluginDir) {
  TempDir tmp;
  set_plugin_dir("/opt/x");
  EXPECT_EQ(basedir(), "/opt/x");
  EXPECT_EQ(plugin_path(), "/opt/x");
  EXPECT_EQ(IMAGES::backdir(), "/opt/x/backups");
  EXPECT_EQ(IMAGES::tmpPath(), "/opt/x/temp");
  EXPECT_EQ(IMAGES::allmaxsize, 1932525568);
  set_plugin_dir(tmp.plugin());
  // The test runner is not started with --debug.
  EXPECT_FALSE(debug());
  set_debug(true);
  EXPECT_TRUE(debug());
  set_debug(false);
}

}  // namespace
}  // namespace img_util::test
