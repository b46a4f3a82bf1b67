#include <gtest/gtest.h>

#include <filesystem>

#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "support/fixtures.hpp"

namespace img_util {
namespace {

using test::read_file;
using test::tail;
using test::TempDir;
namespace fs = std::filesystem;

constexpr const char* kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

class Doing : public ::testing::Test {
 protected:
  Doing() : folder(dir / "img") {
    fs::create_directories(folder);
    cfg = test::base_config(folder, 1);
    cfg.set("masktext", "sample");
    cfg.set("fontttf", kFont);
    // Each line is recorded with the number of files the backup step had seen by then.
    set_line_sink([this](const std::string& line) {
      lines.push_back(line + " #" + std::to_string(files().size()));
    });
  }
  ~Doing() override {
    set_debug(false);
    set_line_sink(nullptr);
  }
  List& files() { return cfg.at("result").at("files").as_list(); }
  int64_t count(const char* name) { return cfg.at("result").at(name).as_int(); }
  std::string photo(const std::string& name, int w = 40, int h = 30) {
    return test::write_photo(folder + "/" + name, w, h);
  }

  TempDir dir;
  std::string folder;
  Value cfg;
  std::vector<std::string> lines;
};

TEST_F(Doing, RejectedFileIsLeftAloneSilently) {
  set_debug(true);
  std::string src = photo("a.jpg");
  const std::string before = read_file(src);
  cfg.set("exts", Value(List{Value(".png")}));
  cfg.set("yswidth", 20);
  IMAGES().doing(src, cfg);
  EXPECT_TRUE(lines.empty());
  EXPECT_TRUE(files().empty());
  EXPECT_EQ(read_file(src), before);
}

TEST_F(Doing, StartLineAfterSelectionBeforeBackupThenDoneLine) {
  set_debug(true);
  std::string src = photo("a.jpg");
  cfg.set("yswidth", 20);
  IMAGES().doing(src, cfg);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], tuple_line({src, "start", "."}) + " #0");
  EXPECT_EQ(lines[1], tuple_line({src, "done"}) + " #1");
  EXPECT_EQ(tail(src), "Amask");
  EXPECT_EQ(Image::open(src)->width(), 20);
}

TEST_F(Doing, NoLinesWithoutDebug) {
  std::string src = photo("a.jpg");
  cfg.set("yswidth", 20);
  IMAGES().doing(src, cfg);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(tail(src), "Amask");
}

TEST_F(Doing, SwitchesSkipSelectionOrBackup) {
  std::string src = photo("a.jpg");
  cfg.set("exts", Value(List{Value(".png")}));  // selection would refuse it
  cfg.set("yswidth", 20);
  IMAGES().doing(src, cfg, /*use_check=*/false, /*use_back=*/false);
  EXPECT_TRUE(files().empty());
  EXPECT_EQ(tail(src), "Amask");
  IMAGES().doing(photo("b.jpg"), cfg, /*use_check=*/false, /*use_back=*/true);
  EXPECT_EQ(files().size(), 1u);
}

TEST_F(Doing, WatermarkChosenByNumericMaskmode) {
  struct Case {
    Value maskmode;
    int64_t maskcount;
    bool written;
  } cases[] = {{2, 1, true}, {2.0, 1, true}, {"2", 0, false}, {"3", 0, false}, {1, 0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(py_repr(c.maskmode));
    Value fresh = test::base_config(folder, 1);
    fresh.set("maskmode", c.maskmode);
    fresh.set("masktext", "sample");
    fresh.set("fontttf", kFont);
    cfg = fresh;
    std::string src = photo("w.jpg");
    const std::string before = read_file(src);
    IMAGES().doing(src, cfg);
    EXPECT_EQ(count("maskcount"), c.maskcount);
    EXPECT_EQ(read_file(src) != before, c.written);
    if (c.written) {
      EXPECT_EQ(tail(src), "Bmask");
    }
  }
}

TEST_F(Doing, ProcessingAgainLeavesOneMarkerOfTheLatestRun) {
  std::string src = photo("again.jpg", 80, 60);
  cfg.set("yswidth", 60);
  IMAGES().doing(src, cfg);
  EXPECT_EQ(tail(src), "Amask");
  cfg.set("yswidth", 40);
  cfg.set("maskmode", 2);
  cfg.set("iscompress", 1);
  IMAGES().doing(src, cfg);
  EXPECT_EQ(tail(src, 10).substr(5), "Bmask");
  EXPECT_NE(tail(src, 10).substr(0, 5), "Amask");
  EXPECT_EQ(Image::open(src)->width(), 40);
}

TEST_F(Doing, MissingMaskmodeFailsAfterTheBackupAndWritesNothing) {
  std::string src = photo("a.jpg");
  const std::string before = read_file(src);
  cfg.erase("maskmode");
  EXPECT_THROW(IMAGES().doing(src, cfg), KeyError);
  EXPECT_EQ(files().size(), 1u);
  EXPECT_EQ(read_file(src), before);
}

}  // namespace
}  // namespace img_util
