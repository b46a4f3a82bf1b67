// Whole runs over planted names and links: no write leaves the output tree, or in place the
// folder, and the file that would have escaped fails with a message that says why.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>

#include "helpers.hpp"
#include "imaging/imaging.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

// The places one case works with. `outside` holds the file every case tries to reach.
struct Tree {
  std::string tmp, site, out, outside, victim;
};

struct Planted {
  const char* name;
  // Plants the hostile names and links and sets the case's keys.
  std::function<void(const Tree&, Value& cfg)> plant;
  // Part of the failing file's cause, "{tmp}" standing for the test's directory; empty:
  // nothing fails.
  std::string cause;
  // A file (below tmp) that the run must write with its marker; empty: none.
  std::string written;
};

void PrintTo(const Planted& p, std::ostream* os) { *os << p.name; }

class Containment : public ::testing::TestWithParam<Planted> {};

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_P(Containment, NoWriteLeavesItsTree) {
  TempDir dir;
  // Canonical, so that a link's resolved target reads as the message gives it.
  const std::string tmp = fs::canonical(dir.path()).string();
  const Tree tree{tmp, tmp + "/site", tmp + "/out", tmp + "/outside", tmp + "/outside/victim.jpg"};
  fs::create_directories(tree.site);
  fs::create_directories(tree.outside);
  write_photo(tree.victim, 40, 30);
  const std::string victim_bytes = read_file(tree.victim);

  Value cfg = base_config(tree.site);
  cfg.set("yswidth", 20);  // every photo is shrunk, so every selected file is written
  cfg.set("jumperr", true);
  GetParam().plant(tree, cfg);

  std::vector<std::pair<std::string, std::string>> failed;
  RunHooks hooks;
  hooks.on_file = [&](const std::string& fpath, FileOutcome outcome, const std::string& error) {
    if (outcome == FileOutcome::Failed) failed.emplace_back(fpath, error);
  };
  set_run_hooks(hooks);
  CapturedLines lines;
  IMAGES().execute(cfg);
  set_run_hooks({});

  EXPECT_EQ(read_file(tree.victim), victim_bytes);
  EXPECT_EQ(names_in(tree.outside), std::vector<std::string>{"victim.jpg"});
  EXPECT_FALSE(fs::exists(tmp + "/target"));
  std::string cause = GetParam().cause;
  for (size_t at; (at = cause.find("{tmp}")) != std::string::npos;) cause.replace(at, 5, tmp);
  if (cause.empty()) {
    EXPECT_TRUE(failed.empty()) << failed.front().first << ": " << failed.front().second;
  } else {
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_NE(failed[0].second.find(cause), std::string::npos) << failed[0].second;
    EXPECT_EQ(lines.lines, std::vector<std::string>{tuple_line({failed[0].first, "error"})});
  }
  if (!GetParam().written.empty()) {
    EXPECT_EQ(tail(tmp + GetParam().written), "Amask");
  }
  if (cfg.get("isbackup").truthy()) {
    // Refused before its backup: nothing at all was done for the file.
    EXPECT_TRUE(cfg.at("result").at("files").as_list().empty());
    EXPECT_FALSE(fs::exists(IMAGES::backdir()));
  }
}

// "..\..\..\target\evil.jpg" below an output folder three levels down would land in
// <tmp>/target.
void deep_outpath(const Tree& t, Value& cfg) { cfg.set("outpath", t.tmp + "/o/p/q"); }

// A two-frame animation padded after its end, so that any re-encoding of it is smaller and
// gets written.
void write_animation(const std::string& path) {
  std::vector<std::shared_ptr<const Image>> frames;
  for (int i = 0; i < 2; ++i)
    frames.push_back(std::make_shared<Image>(imaging::convert(make_photo(24 + i, 16), Mode::P)));
  imaging::EncodeOptions opts;
  opts.save_all = true;
  opts.append_images.assign(frames.begin() + 1, frames.end());
  opts.duration = 100;
  opts.loop = 0;
  write_file(path, imaging::encode(*frames.front(), "GIF", opts) + std::string(20000, 'x'));
}

// That GIF planted as the source, and its target in the output tree a link to the victim.
void gif_to_a_linked_target(const Tree& t, Value& cfg) {
  write_animation(t.site + "/anim.gif");
  fs::create_directories(t.out);
  fs::create_symlink(t.victim, t.out + "/anim.gif");
  cfg.set("outpath", t.out);
}

INSTANTIATE_TEST_SUITE_P(
    Planted, Containment,
    ::testing::Values(
        Planted{"file_name_with_climbing_backslashes",
                [](const Tree& t, Value& cfg) {
                  write_photo(t.site + "/..\\..\\..\\target\\evil.jpg", 40, 30);
                  deep_outpath(t, cfg);
                },
                "Name leads out of the output folder", ""},
        Planted{"source_folder_named_to_climb",
                [](const Tree& t, Value& cfg) {
                  fs::create_directories(t.site + "/..\\..\\..\\target");
                  write_photo(t.site + "/..\\..\\..\\target/evil.jpg", 40, 30);
                  cfg.set("subfold", true);
                  deep_outpath(t, cfg);
                },
                "Name leads out of the output folder", ""},
        Planted{"symlinked_folder_in_the_output_tree",
                [](const Tree& t, Value& cfg) {
                  fs::create_directories(t.site + "/sub");
                  write_photo(t.site + "/sub/victim.jpg", 40, 30);
                  fs::create_directories(t.out);
                  fs::create_directory_symlink(t.outside, t.out + "/sub");
                  cfg.set("subfold", true);
                  cfg.set("outpath", t.out);
                },
                "Symbolic link not followed: '{tmp}/out/sub'", ""},
        Planted{"symlinked_file_as_the_target",
                [](const Tree& t, Value& cfg) {
                  write_photo(t.site + "/victim.jpg", 40, 30);
                  fs::create_directories(t.out);
                  fs::create_symlink(t.victim, t.out + "/victim.jpg");
                  cfg.set("outpath", t.out);
                },
                "Symbolic link not replaced: '{tmp}/out/victim.jpg'", ""},
        Planted{
            "in_place_link_to_a_file_outside_the_folder",
            [](const Tree& t, Value& cfg) {
              fs::create_symlink(t.victim, t.site + "/victim.jpg");
              cfg.set("isbackup", true);
            },
            "Symbolic link to '{tmp}/outside/victim.jpg' outside the folder '{tmp}/site' is left "
            "alone: '{tmp}/site/victim.jpg'",
            ""},
        Planted{"animated_gif_to_a_symlinked_target", gif_to_a_linked_target,
                "Symbolic link not replaced: '{tmp}/out/anim.gif'", ""},
        Planted{"gifsicle_result_to_a_symlinked_target",
                [](const Tree& t, Value& cfg) {
                  gif_to_a_linked_target(t, cfg);
                  // A stand-in for the tool whose result is always adopted: small and clean.
                  const std::string tool = t.tmp + "/plugin/gifsicle";
                  write_file(tool, "#!/bin/sh\nprintf GIF89a\n");
                  fs::permissions(tool, fs::perms::owner_all);
                  cfg.set("isgifsicle", true);
                  cfg.set("gif_qty", "O3");
                  cfg.set("gif_color", 8);
                  cfg.set("gif_loss", 20);
                },
                "Symbolic link not replaced: '{tmp}/out/anim.gif'", ""},
        Planted{"gif_in_place_link_to_a_file_outside_the_folder",
                [](const Tree& t, Value& cfg) {
                  fs::create_symlink(t.victim, t.site + "/anim.gif");
                  cfg.set("isbackup", true);
                },
                "Symbolic link to '{tmp}/outside/victim.jpg' outside the folder '{tmp}/site' is "
                "left alone: '{tmp}/site/anim.gif'",
                ""},
        Planted{"in_place_link_to_a_file_inside_the_folder",
                [](const Tree& t, Value&) {
                  fs::create_directories(t.site + "/real");
                  write_photo(t.site + "/real/photo.jpg", 40, 30);
                  fs::create_symlink("real/photo.jpg", t.site + "/link.jpg");
                },
                "", "/site/real/photo.jpg"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace img_util::test
