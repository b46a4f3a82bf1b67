// The lossy GIF pass: the tool's command line, the keep-smaller rule with the tool's exit
// status, and what an adopted result leaves behind. A fake tool (a shell script) stands in for
// gifsicle where its output has to be known to the byte; one test runs the real one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "imaging/imaging.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "support/fixtures.hpp"
#include "support/spawn.hpp"

namespace img_util {
namespace {

using test::read_file;
using test::TempDir;
using test::write_file;
namespace fs = std::filesystem;

// Splits the NUL-terminated argument records the fake tool writes.
std::vector<std::string> split_nul(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\0') {
      out.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

class GifsicleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir.str() + "/site");
    source = dir / "site/anim.gif";
    write_file(source, std::string(1000, 'G'));
    cfg = test::base_config(dir / "site", 1);
    cfg.set("isgifsicle", true);
    cfg.set("gif_qty", "O3");
    cfg.set("gif_color", 8);
    cfg.set("gif_loss", 20);
  }

  // Installs a tool that records its arguments, writes `out_size` bytes and exits with `code`.
  void fake_tool(size_t out_size, int code = 0) {
    payload = std::string(out_size, 'P');
    write_file(dir / "payload", payload);
    std::string script =
        "#!/bin/sh\n"
        "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" +
        (dir / "args") +
        "'\n"
        "/bin/cat '" +
        (dir / "payload") +
        "'\n"
        "exit " +
        std::to_string(code) + "\n";
    write_file(tool(), script);
    ::chmod(tool().c_str(), 0755);
  }

  std::string tool() const { return dir.plugin() + "/gifsicle"; }
  std::vector<std::string> args() const { return split_nul(read_file(dir / "args")); }
  int64_t compresscount() const { return cfg.at("result").at("compresscount").as_int(); }
  size_t files_listed() const { return cfg.at("result").at("files").as_list().size(); }

  TempDir dir;
  std::string source;
  std::string payload;
  Value cfg;
  IMAGES images;
};

struct KeepCase {
  const char* name;
  size_t out_size;
  int exit_code;
  bool adopted;
};

class GifsicleKeep : public GifsicleTest, public ::testing::WithParamInterface<KeepCase> {};

TEST_P(GifsicleKeep, AdoptsOnlyACleanStrictlySmallerResult) {
  const KeepCase& c = GetParam();
  fake_tool(c.out_size, c.exit_code);
  const std::string before = read_file(source);

  images.gifsicle(source, cfg);

  EXPECT_EQ(read_file(dir.plugin() + "/tmp.gif"), payload);
  if (c.adopted) {
    EXPECT_EQ(read_file(source), payload + "Amask");
    EXPECT_EQ(compresscount(), 1);
    EXPECT_EQ(files_listed(), 1u);  // backed up once
  } else {
    EXPECT_EQ(read_file(source), before);
    EXPECT_EQ(compresscount(), 0);
    EXPECT_EQ(files_listed(), 0u);  // no backup either
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, GifsicleKeep,
                         ::testing::Values(KeepCase{"Empty", 0, 0, false},
                                           KeepCase{"EqualSize", 1000, 0, false},
                                           KeepCase{"OneByteSmaller", 999, 0, true},
                                           KeepCase{"LargerThanSource", 1001, 0, false},
                                           KeepCase{"SmallerButToolFailed", 500, 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(GifsicleTest, ArgumentsReachTheToolInOrderAndUnsplit) {
  const std::string odd = dir / "site/a b;$(touch pwned) 'x\"` *.gif";
  write_file(odd, std::string(1000, 'G'));
  fake_tool(10);
  images.gifsicle(odd, cfg);
  EXPECT_EQ(args(), (std::vector<std::string>{odd, "-O3", "--colors", "256", "--lossy=20"}));
  EXPECT_FALSE(fs::exists(dir / "site/pwned"));
  EXPECT_FALSE(fs::exists("pwned"));
  EXPECT_EQ(read_file(odd), std::string(10, 'P') + "Amask");
}

TEST_F(GifsicleTest, RelativeSourceStartingWithADashIsNoOption) {
  const fs::path saved = fs::current_path();
  fs::current_path(dir.str() + "/site");
  write_file("-O1.gif", std::string(1000, 'G'));
  fake_tool(5000);
  images.gifsicle("-O1.gif", cfg);
  fs::current_path(saved);
  ASSERT_FALSE(args().empty());
  EXPECT_EQ(args()[0], "./-O1.gif");
}

TEST_F(GifsicleTest, OptionValuesAreWrittenInTheirTextForm) {
  struct Case {
    Value qty, color, loss;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases{
      {"O2", 1, 20, {"-O2", "--colors", "2", "--lossy=20"}},
      {3, 0, "80", {"-3", "--colors", "1", "--lossy=80"}},
      {"O1", 2.0, 1.5, {"-O1", "--colors", "4.0", "--lossy=1.5"}},
      {"O1", -1, true, {"-O1", "--colors", "0.5", "--lossy=True"}},
      {"O1", 64, 0, {"-O1", "--colors", "18446744073709551616", "--lossy=0"}},
  };
  fake_tool(5000);  // larger than the source: nothing adopted, only the arguments matter
  for (const Case& c : cases) {
    cfg.set("gif_qty", c.qty);
    cfg.set("gif_color", c.color);
    cfg.set("gif_loss", c.loss);
    images.gifsicle(source, cfg);
    std::vector<std::string> expected{source};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(args(), expected) << py_repr(c.color);
  }
}

TEST_F(GifsicleTest, BadSettingsFailBeforeTheToolStarts) {
  fake_tool(10);
  cfg.erase("gif_loss");
  EXPECT_THROW(images.gifsicle(source, cfg), KeyError);
  cfg.set("gif_loss", 20);
  cfg.set("gif_color", "8");
  EXPECT_THROW(images.gifsicle(source, cfg), TypeError);
  EXPECT_FALSE(fs::exists(dir / "args"));
  EXPECT_EQ(read_file(source), std::string(1000, 'G'));
}

// Without a tool in the plugin directory the one on PATH runs; without either, or with one
// that cannot start, the file fails naming the tool before anything is written.
TEST_F(GifsicleTest, ToolFromPathOrAFailureNamingIt) {
  struct PathGuard {
    std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
    ~PathGuard() { ::setenv("PATH", saved.c_str(), 1); }
  } path_guard;
  fake_tool(10);
  fs::create_directories(dir / "bin");
  fs::rename(tool(), dir / "bin/gifsicle");

  ::setenv("PATH", (dir / "empty:" + dir / "bin").c_str(), 1);
  images.gifsicle(source, cfg);
  EXPECT_EQ(read_file(source), payload + "Amask");

  write_file(source, std::string(1000, 'G'));
  ::setenv("PATH", (dir / "empty").c_str(), 1);
  try {
    images.gifsicle(source, cfg);
    ADD_FAILURE() << "no tool, no error";
  } catch (const OSError& e) {
    EXPECT_EQ(std::string(e.what()),
              "[Errno 2] No gifsicle in the plugin directory nor on PATH: '" + tool() + "'");
  }
  write_file(tool(), "not a program");  // present, but not executable
  EXPECT_THROW(images.gifsicle(source, cfg), OSError);
  EXPECT_EQ(read_file(source), std::string(1000, 'G'));
  EXPECT_EQ(compresscount(), 1);  // the first call's only
  EXPECT_EQ(files_listed(), 1u);
}

TEST_F(GifsicleTest, MissingSourceIsAnError) {
  fake_tool(10);
  try {
    images.gifsicle(dir / "site/none.gif", cfg);
    FAIL() << "no error";
  } catch (const OSError& e) {
    EXPECT_EQ(e.filename(), dir / "site/none.gif");
  }
  EXPECT_FALSE(fs::exists(dir / "args"));
}

TEST_F(GifsicleTest, OutputFolderGetsTheResultAndTheSourceStays) {
  fs::create_directories(dir.str() + "/out");
  cfg.set("outpath", dir / "out");
  fake_tool(700);
  images.gifsicle(source, cfg);
  EXPECT_EQ(read_file(source), std::string(1000, 'G'));
  EXPECT_EQ(read_file(dir / "out/anim.gif"), std::string(700, 'P') + "Amask");
}

TEST_F(GifsicleTest, DebugLinesFrameAnAdoptedResultOnly) {
  std::vector<std::string> lines;
  set_line_sink([&](const std::string& l) { lines.push_back(l); });
  set_debug(true);
  fake_tool(999);
  images.gifsicle(source, cfg);
  fake_tool(0);
  images.gifsicle(source, cfg);
  set_debug(false);
  set_line_sink(nullptr);
  const std::string q = py_repr(std::string_view(source));
  EXPECT_EQ(lines, (std::vector<std::string>{"(" + q + ", 'start')", "(" + q + ", 'done')",
                                             "(" + q + ", 'start')"}));
}

// The real tool, from the Debian package, on an animated GIF of our own making.
TEST_F(GifsicleTest, RealToolShrinksAnAnimatedGif) {
  if (::access("/usr/bin/gifsicle", X_OK) != 0) GTEST_SKIP() << "gifsicle is not installed";
  fs::copy_file("/usr/bin/gifsicle", tool());
  std::vector<std::shared_ptr<const Image>> rest;
  for (int i = 1; i < 4; ++i)
    rest.push_back(std::make_shared<Image>(
        imaging::convert(test::make_photo(160 + i, 120, Mode::RGB), Mode::P)));
  imaging::EncodeOptions opts;
  opts.save_all = true;
  opts.append_images = rest;
  opts.duration = 100;
  opts.loop = 0;
  imaging::save(imaging::convert(test::make_photo(160, 120), Mode::P), source, opts);
  const auto size_before = fs::file_size(source);
  cfg.set("gif_loss", 80);

  images.gifsicle(source, cfg);

  const std::string out = read_file(source);
  ASSERT_LT(out.size(), size_before + 5);
  EXPECT_EQ(out.substr(out.size() - 5), "Amask");
  ImagePtr back = Image::open(source);
  EXPECT_EQ(back->frame_count(), 4);
  EXPECT_EQ(compresscount(), 1);
}

TEST(RunProgram, ReportsHowTheProgramEnded) {
  TempDir dir;
  const std::string out = dir / "out";
  auto st = support::run_program({"/bin/sh", "-c", "printf hi; exit 3"}, out);
  EXPECT_TRUE(st.exited);
  EXPECT_EQ(st.code, 3);
  EXPECT_FALSE(st.ok());
  EXPECT_EQ(read_file(out), "hi");

  st = support::run_program({"/bin/sh", "-c", "kill -9 $$"}, out);
  EXPECT_FALSE(st.exited);
  EXPECT_EQ(st.signal, 9);
  EXPECT_EQ(st.describe(), "killed by signal 9");

  st = support::run_program({dir / "no-such-tool"}, out);
  EXPECT_NE(st.spawn_error, 0);
  EXPECT_FALSE(st.ok());
  EXPECT_EQ(read_file(out), "");

  EXPECT_THROW(support::run_program({"/bin/true"}, dir / "no/such/dir/out"), OSError);
}

}  // namespace
}  // namespace img_util
