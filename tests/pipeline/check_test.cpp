#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>

#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "support/fixtures.hpp"

namespace img_util {
namespace {

using test::TempDir;
using test::write_file;
namespace fs = std::filesystem;

class Check : public ::testing::Test {
 protected:
  Check() : folder(dir / "img") {
    fs::create_directories(folder);
    cfg = test::base_config(folder);
  }

  // A file below the root folder with `content`; returns its path.
  std::string file(const std::string& rel, const std::string& content = "data") {
    std::string path = folder + "/" + rel;
    fs::create_directories(fs::path(path).parent_path());
    write_file(path, content);
    return path;
  }

  void set_mtime(const std::string& path, time_t seconds) {
    struct timeval tv[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimes(path.c_str(), tv), 0);
  }

  TempDir dir;
  std::string folder;
  Value cfg;
};

TEST_F(Check, GetSizeIsFractionalKibFollowingLinks) {
  std::string a = file("a.jpg", std::string(1536, 'x'));
  std::string b = file("b.jpg", std::string(100, 'x'));
  ASSERT_EQ(::symlink(a.c_str(), (folder + "/l.jpg").c_str()), 0);
  EXPECT_DOUBLE_EQ(IMAGES::get_size(a), 1.5);
  EXPECT_DOUBLE_EQ(IMAGES::get_size(b), 0.09765625);
  EXPECT_DOUBLE_EQ(IMAGES::get_size(folder + "/l.jpg"), 1.5);
  EXPECT_THROW(IMAGES::get_size(folder + "/missing.jpg"), OSError);
}

TEST_F(Check, NoRegularFileIsRejectedBeforeAnyKeyIsRead) {
  fs::create_directories(folder + "/dir.jpg");
  ASSERT_EQ(::symlink("nowhere.jpg", (folder + "/broken.jpg").c_str()), 0);
  Value empty = Value::dict();
  for (const std::string& p :
       {folder + "/dir.jpg", folder + "/missing.jpg", folder + "/broken.jpg"})
    EXPECT_FALSE(IMAGES::check(p, empty)) << p;
}

TEST_F(Check, BackupAndTemporaryDirectoriesArePlainTextPrefixes) {
  struct Case {
    std::string rel;  // below the plugin directory
    bool checkTemp;
    bool accepted;
  } cases[] = {
      {"backups/a.jpg", true, false},  {"backups2/a.jpg", true, false},
      {"backups/a.jpg", false, false}, {"temp/a.jpg", true, false},
      {"temp/a.jpg", false, true},     {"tempfiles/a.jpg", true, false},
      {"other/a.jpg", true, true},
  };
  for (const auto& c : cases) {
    std::string path = dir.plugin() + "/" + c.rel;
    fs::create_directories(fs::path(path).parent_path());
    write_file(path, "data");
    EXPECT_EQ(IMAGES::check(path, cfg, c.checkTemp), c.accepted) << c.rel << " " << c.checkTemp;
  }
}

TEST_F(Check, ExtensionListIsMatchedByLowerCasedExtension) {
  struct Case {
    std::string name;
    List exts;
    bool accepted;
  } cases[] = {
      {"photo.JPG", {".jpg"}, true},
      {"photo.jpeg", {".jpg"}, false},
      {"photo", {".jpg"}, false},
      {".jpg", {".jpg"}, false},
      {"..jpg", {".jpg"}, false},
      {".bashrc", {".bashrc"}, false},
      {"a.", {"."}, true},
      {"noext", {""}, false},
      {"photo.JPG", {".JPG"}, false},
      {"a.b.png", {".png"}, true},
      {"x.tar.JPEG", {".jpg", ".jpeg"}, true},
  };
  for (const auto& c : cases) {
    cfg.set("exts", Value(c.exts));
    EXPECT_EQ(IMAGES::check(file(c.name), cfg), c.accepted) << c.name;
  }
}

TEST_F(Check, ExtensionTextIsAllOrACaseInsensitivePatternSearch) {
  struct Case {
    std::string exts;
    Value pattern;  // none: _exts absent
    std::string name;
    bool accepted;
  } cases[] = {
      {"*.*", Value(), "anything.xyz", true},      {"images *.* here", Value(), "noext", true},
      {"custom", "\\.jpe?g$", "photo.JPG", true},  {"custom", "\\.jpe?g$", "photo.jpg.png", false},
      {"custom", "jpg", "my_jpg_notes.txt", true}, {"custom", "^img_", "IMG_001.png", true},
      {"custom", "^img_", "x_img_001.png", false}, {"custom", "\\.(png|gif)$", "a.PnG", true},
  };
  for (const auto& c : cases) {
    cfg.set("exts", c.exts);
    if (c.pattern.is_none()) {
      cfg.erase("_exts");
    } else {
      cfg.set("_exts", c.pattern);
    }
    EXPECT_EQ(IMAGES::check(file(c.name), cfg), c.accepted) << c.exts << " " << c.name;
  }
}

TEST_F(Check, BadExtensionSettingsRaise) {
  std::string f = file("a.jpg");
  cfg.set("exts", "custom");
  cfg.erase("_exts");
  EXPECT_THROW(IMAGES::check(f, cfg), KeyError);
  cfg.set("_exts", "([unclosed");
  try {
    IMAGES::check(f, cfg);
    FAIL() << "no error";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("([unclosed"), std::string::npos) << e.what();
  }
  cfg.set("_exts", 5);
  EXPECT_THROW(IMAGES::check(f, cfg), TypeError);
  cfg.erase("exts");
  EXPECT_THROW(IMAGES::check(f, cfg), KeyError);
  cfg.set("exts", 7);
  EXPECT_THROW(IMAGES::check(f, cfg), TypeError);
}

TEST_F(Check, TimeKeysAreRequiredEvenWhenTheRuleIsOff) {
  std::string f = file("a.jpg");
  for (const char* key : {"utimemode", "utime"}) {
    Value c = test::base_config(folder);
    c.erase(key);
    EXPECT_THROW(IMAGES::check(f, c), KeyError) << key;
  }
}

TEST_F(Check, TimeRuleComparesUtcTextStrictly) {
  const time_t before = 1577836799;  // 2019-12-31 23:59:59 UTC
  const time_t same = 1577836800;    // 2020-01-01 00:00:00 UTC
  const time_t after = 1577836801;
  struct Case {
    Value mode;
    Value utime;
    time_t mtime;
    bool checkTime;
    bool accepted;
  } cases[] = {
      {1, "2020-01-01 00:00:00", before, true, true},
      {1, "2020-01-01 00:00:00", same, true, false},
      {1, "2020-01-01 00:00:00", after, true, false},
      {2, "2020-01-01 00:00:00", before, true, false},
      {2, "2020-01-01 00:00:00", same, true, false},
      {2, "2020-01-01 00:00:00", after, true, true},
      {1.0, "2020-01-01 00:00:00", same, true, false},
      {3, "2020-01-01 00:00:00", same, true, true},
      {"1", "2020-01-01 00:00:00", same, true, true},
      {1, "", same, true, true},
      {0, "2020-01-01 00:00:00", same, true, true},
      {1, "2020-01-01 00:00:00", same, false, true},
  };
  for (const auto& c : cases) {
    std::string f = file("t.jpg");
    set_mtime(f, c.mtime);
    cfg.set("utimemode", c.mode);
    cfg.set("utime", c.utime);
    EXPECT_EQ(IMAGES::check(f, cfg, true, c.checkTime), c.accepted)
        << py_repr(c.mode) << " " << py_repr(c.utime) << " " << c.mtime << " " << c.checkTime;
  }
  cfg.set("utimemode", 1);
  cfg.set("utime", 20200101);
  EXPECT_THROW(IMAGES::check(file("t.jpg"), cfg), TypeError);
}

TEST_F(Check, MinimumSizeInFractionalKib) {
  std::string small = file("small.jpg", std::string(102399, 'x'));
  std::string exact = file("exact.jpg", std::string(102400, 'x'));
  cfg.set("minsize", 100);
  EXPECT_FALSE(IMAGES::check(small, cfg));
  EXPECT_TRUE(IMAGES::check(exact, cfg));
  cfg.set("minsize", 0);
  EXPECT_TRUE(IMAGES::check(small, cfg));
  cfg.set("minsize", "100");
  EXPECT_THROW(IMAGES::check(small, cfg), TypeError);
}

TEST_F(Check, MarkerRulesByTheLastBytes) {
  struct Case {
    std::string ending;
    Value isprotect, isaprotect;
    int maskmode;
    bool accepted;
  } cases[] = {
      {"Amask", true, false, 2, true},  {"Amask", false, true, 2, false},
      {"Amask", true, true, 2, true},   {"Amask", false, false, 2, true},
      {"Bmask", true, false, 2, false}, {"Bmask", false, true, 2, true},
      {"Bmask", true, true, 2, false},  {"Bmask", false, false, 2, true},
      {"Cmask", true, false, 3, false}, {"plain", true, true, 2, true},
      {"Bmask", true, false, 1, true},  {"Amask", true, true, 1, false},
      {"mask", true, true, 2, true},    {"ask", true, false, 2, true},
  };
  for (const auto& c : cases) {
    std::string f = file("m.jpg", c.ending.size() < 5 ? c.ending : "image data" + c.ending);
    cfg.set("isprotect", c.isprotect);
    cfg.set("isaprotect", c.isaprotect);
    cfg.set("maskmode", c.maskmode);
    EXPECT_EQ(IMAGES::check(f, cfg), c.accepted)
        << c.ending << " protect=" << py_repr(c.isprotect) << " aprotect=" << py_repr(c.isaprotect)
        << " mode=" << c.maskmode;
  }
}

TEST_F(Check, MaskmodeIsRequiredOnlyForTheProtectRule) {
  std::string f = file("m.jpg", "dataBmask");
  cfg.erase("maskmode");
  EXPECT_TRUE(IMAGES::check(f, cfg));
  cfg.set("isprotect", 1);
  EXPECT_THROW(IMAGES::check(f, cfg), KeyError);
}

TEST_F(Check, MinimumWidthReadsTheHeaderAndRejectsWhatItCannotRead) {
  std::string narrow = test::write_photo(folder + "/narrow.png", 799, 2);
  std::string wide = test::write_photo(folder + "/wide.png", 800, 2);
  std::string text = file("text.png", "not an image at all");
  cfg.set("minwidth", 800);
  EXPECT_FALSE(IMAGES::check(narrow, cfg));
  EXPECT_TRUE(IMAGES::check(wide, cfg));
  EXPECT_FALSE(IMAGES::check(text, cfg));
  cfg.set("minwidth", "800");
  EXPECT_FALSE(IMAGES::check(wide, cfg));
  cfg.set("minwidth", 0);
  EXPECT_TRUE(IMAGES::check(text, cfg));
}

}  // namespace
}  // namespace img_util
