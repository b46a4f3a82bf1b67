#include <gtest/gtest.h>

#include <filesystem>

#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "support/fixtures.hpp"

namespace img_util {
namespace {

using test::TempDir;
namespace fs = std::filesystem;
using Pair = std::pair<std::string, std::string>;

TEST(GetSavePath, WithoutOutputFolderTheTargetIsTheSourceAndFolderIsNotRead) {
  for (Value outpath : {Value(), Value(""), Value(0), Value(false)}) {
    Value cfg = Value::dict();
    if (!outpath.is_none()) cfg.set("outpath", outpath);
    EXPECT_EQ(IMAGES::get_save_path("/data/img/2020/a.jpg", cfg),
              Pair("a.jpg", "/data/img/2020/a.jpg"))
        << py_repr(outpath);
    EXPECT_EQ(IMAGES::get_save_path("plain.png", cfg), Pair("plain.png", "plain.png"));
  }
}

class GetSavePathMirrored : public ::testing::Test {
 protected:
  GetSavePathMirrored() : root(dir / "img"), out(dir / "out") {
    cfg = Value::dict();
    cfg.set("folder", root);
    cfg.set("outpath", out);
  }
  TempDir dir;
  std::string root, out;
  Value cfg;
};

TEST_F(GetSavePathMirrored, WorkedExamples) {
  struct Case {
    std::string source;  // appended to root unless absolute
    std::string fname;
    std::string target;       // appended to out
    std::string created_dir;  // appended to out; empty: nothing created
  } cases[] = {
      {"/2020/05/a.jpg", "a.jpg", "/2020/05/a.jpg", "/2020/05"},
      {"/a.jpg", "a.jpg", "/a.jpg", ""},
      {"//a//b.jpg", "b.jpg", "/a/b.jpg", "/a"},
      {"/sub\\dir\\c.jpg", "sub\\dir\\c.jpg", "/sub/dir/sub\\dir\\c.jpg", "/sub/dir"},
      {"/deep/", "", "/", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    auto [fname, target] = IMAGES::get_save_path(root + c.source, cfg);
    EXPECT_EQ(fname, c.fname);
    EXPECT_EQ(target, out + c.target);
    if (c.created_dir.empty()) {
      EXPECT_FALSE(fs::exists(out)) << "output folder created for a top-level file";
    } else {
      EXPECT_TRUE(fs::is_directory(out + c.created_dir));
      fs::remove_all(out);
    }
  }
}

TEST_F(GetSavePathMirrored, RootWithOrWithoutTrailingSlashGivesTheSameTarget) {
  Value slashed = Value::dict();
  slashed.set("folder", root + "/");
  slashed.set("outpath", out + "/");
  EXPECT_EQ(IMAGES::get_save_path(root + "/x/y.png", cfg), Pair("y.png", out + "/x/y.png"));
  EXPECT_EQ(IMAGES::get_save_path(root + "/x/y.png", slashed), Pair("y.png", out + "/x/y.png"));
  // The chain, once made, is reused.
  EXPECT_EQ(IMAGES::get_save_path(root + "/x/z.png", cfg), Pair("z.png", out + "/x/z.png"));
}

TEST_F(GetSavePathMirrored, OnlyALeadingRootIsRemovedSoTargetsNeverCollide) {
  // With the root's text removed everywhere, both sources would map to out/x/b.jpg.
  std::string nested = root + "/x" + root + "/b.jpg";
  std::string plain = root + "/x/b.jpg";
  auto [f1, t1] = IMAGES::get_save_path(nested, cfg);
  auto [f2, t2] = IMAGES::get_save_path(plain, cfg);
  EXPECT_EQ(t1, out + "/x" + root + "/b.jpg");
  EXPECT_EQ(t2, out + "/x/b.jpg");
  EXPECT_NE(t1, t2);
}

TEST_F(GetSavePathMirrored, SourceOutsideTheRootMirrorsItsWholeChain) {
  std::string elsewhere = dir / "elsewhere/p/q.jpg";
  auto [fname, target] = IMAGES::get_save_path(elsewhere, cfg);
  EXPECT_EQ(fname, "q.jpg");
  EXPECT_EQ(target, out + elsewhere);
  EXPECT_TRUE(fs::is_directory(out + (dir / "elsewhere/p")));
}

TEST_F(GetSavePathMirrored, EmptyRootRemovesNothing) {
  cfg.set("folder", "");
  EXPECT_EQ(IMAGES::get_save_path("rel/a.jpg", cfg), Pair("a.jpg", out + "/rel/a.jpg"));
}

TEST_F(GetSavePathMirrored, MissingRootAndUncreatableDirectoryRaise) {
  Value no_folder = Value::dict();
  no_folder.set("outpath", out);
  EXPECT_THROW(IMAGES::get_save_path(root + "/a/b.jpg", no_folder), KeyError);

  fs::create_directories(out);
  test::write_file(out + "/blocked", "a file where a directory should go");
  try {
    IMAGES::get_save_path(root + "/blocked/deeper/c.jpg", cfg);
    FAIL() << "no error";
  } catch (const OSError& e) {
    EXPECT_NE(std::string(e.what()).find(out + "/blocked"), std::string::npos) << e.what();
  }
}

TEST_F(GetSavePathMirrored, ClimbingNamesAndLinkedDirectoriesAreRefused) {
  // The pair of texts goes to the Python host too: it must never name a place outside `out`.
  fs::create_directories(dir / "elsewhere");
  fs::create_directories(out);
  fs::create_directory_symlink(dir / "elsewhere", out + "/linked");
  const struct {
    std::string source;
    int err;
    std::string message;
  } cases[] = {
      {root + "/..\\..\\x\\a.jpg", EINVAL,
       "[Errno 22] Name leads out of the output folder '" + out +
           "' (a '..' part once backslashes are read as '/'): '" + root +
           "/..\\\\..\\\\x\\\\a.jpg'"},
      {root + "/linked/deeper/b.jpg", ELOOP,
       "[Errno 40] Symbolic link not followed: '" + out + "/linked'"},
  };
  for (const auto& c : cases) {
    try {
      IMAGES::get_save_path(c.source, cfg);
      ADD_FAILURE() << c.source;
    } catch (const OSError& e) {
      EXPECT_EQ(e.error_number(), c.err);
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  EXPECT_FALSE(fs::exists(dir / "x"));
  EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
}

}  // namespace
}  // namespace img_util
