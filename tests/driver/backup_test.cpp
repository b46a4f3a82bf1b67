// backup: the result list, archive naming and contents, the byte cap, and archives that stay
// valid whatever happens to the run.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "helpers.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "support/fixtures.hpp"
#include "support/zip_writer.hpp"

namespace img_util::test {
namespace {

std::vector<std::string> archives() {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(IMAGES::backdir(), ec))
    out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

// Entry names (raw bytes, hex-free), method, permission bits and contents read back with
// Python's zipfile, an independent reader.
std::string describe_zip(const std::string& zip) {
  std::string out;
  const std::string cmd =
      "/usr/bin/python3 -c '\n"
      "import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "assert z.testzip() is None\n"
      "for i in z.infolist():\n"
      "    name = i.filename if i.flag_bits & 0x800 else "
      "i.orig_filename.encode(\"cp437\").decode(\"utf-8\", \"backslashreplace\")\n"
      "    print(name, i.compress_type, oct((i.external_attr >> 16) & 0o777), "
      "z.read(i).decode(\"latin-1\"))\n"
      "' " +
      shell_quote(zip) + " 2>&1";
  EXPECT_EQ(run_command(cmd, &out), 0) << out;
  return out;
}

class Backup : public ::testing::Test {
 protected:
  void SetUp() override {
    cfg = base_config(tmp / "site");
    cfg.set("isbackup", true);
    cfg.set("allmaxsize", 0);
    fs::create_directories(tmp / "site");
  }
  std::string source(const std::string& name, const std::string& bytes, int mode = 0644) {
    const std::string p = tmp / ("site/" + name);
    write_file(p, bytes);
    ::chmod(p.c_str(), static_cast<mode_t>(mode));
    return p;
  }
  void finish() {
    if (cfg.get("zfile").truthy()) {
      cfg.at("zfile").as_handle()->close();
      cfg.erase("zfile");
    }
  }
  TempDir tmp;
  Value cfg;
};

TEST_F(Backup, DisabledOnlyRecordsThePath) {
  cfg.set("isbackup", false);
  cfg.erase("allmaxsize");
  IMAGES().backup("/nowhere/a.jpg", cfg);
  IMAGES().backup("/nowhere/a.jpg", cfg);
  EXPECT_EQ(cfg.at("result").at("files"), Value(List{"/nowhere/a.jpg", "/nowhere/a.jpg"}));
  EXPECT_FALSE(cfg.contains("allmaxsize"));
  EXPECT_FALSE(cfg.contains("zfile"));
  EXPECT_FALSE(fs::exists(IMAGES::backdir()));
}

TEST_F(Backup, OneArchivePerRunWithMirroredEntryNames) {
  const std::string a = source("a.jpg", "AAAA", 0640);
  const std::string b = source("empty.png", "", 0600);
  const std::string c = source("x\\y.jpg", "CC");
  IMAGES images;
  images.backup(a, cfg);
  images.backup(b, cfg);
  images.backup(c, cfg);
  images.backup(a, cfg);  // twice: two entries of the same name
  EXPECT_TRUE(num_eq(cfg.at("allmaxsize"), 10));
  EXPECT_EQ(cfg.at("result").at("files").as_list().size(), 4u);
  finish();

  const auto zips = archives();
  ASSERT_EQ(zips.size(), 1u);
  const std::string name = fs::path(zips[0]).filename().string();
  EXPECT_TRUE(
      name.size() == 18 && name.ends_with(".zip") &&
      std::all_of(name.begin(), name.begin() + 14, [](char c) { return c >= '0' && c <= '9'; }))
      << zips[0];
  const std::string base = (tmp / "site").substr(1);
  EXPECT_EQ(describe_zip(zips[0]), base + "/a.jpg 8 0o640 AAAA\n" + base + "/empty.png 8 0o600 \n" +
                                       base + "/x/y.jpg 8 0o644 CC\n" + base +
                                       "/a.jpg 8 0o640 AAAA\n");
  EXPECT_EQ(run_command("unzip -tqq " + shell_quote(zips[0])), 0);
}

TEST_F(Backup, NonUtf8NamesAreArchivedUnderTheirRawBytes) {
  const std::string p = source("caf\xe9.jpg", "Z");
  IMAGES().backup(p, cfg);
  finish();
  std::string names;
  ASSERT_EQ(run_command("unzip -Z1 " + shell_quote(archives().at(0)), &names), 0);
  EXPECT_EQ(names, (tmp / "site").substr(1) + "/caf\xe9.jpg\n");
}

TEST_F(Backup, EntryNamesNeverClimb) {
  // Names with backslashes are the site's own files: each backslash becomes "/" and the ".."
  // parts are resolved on the text, never above the top, so unpacking stays in its folder.
  const std::string base = (tmp / "site").substr(1);
  std::string climb;
  for (int i = 0; i < 30; ++i) climb += "..\\";
  fs::create_directories(tmp / "site/d");
  const struct {
    std::string path;
    std::string entry;
  } cases[] = {
      {source("..\\target\\evil.jpg", "x"), base.substr(0, base.rfind('/')) + "/target/evil.jpg"},
      {source(climb + "etc\\x.jpg", "x"), "etc/x.jpg"},
      {source("a\\.\\b.jpg", "x"), base + "/a/b.jpg"},
      {source("d/../c.jpg", "x"), base + "/c.jpg"},
  };
  std::string expected;
  for (const auto& c : cases) {
    IMAGES().backup(c.path, cfg);
    expected += c.entry + "\n";
  }
  finish();
  std::string names;
  ASSERT_EQ(run_command("unzip -Z1 " + shell_quote(archives().at(0)), &names), 0);
  EXPECT_EQ(names, expected);
}

TEST_F(Backup, CapIsStrictlyGreaterAndTheFileThatPassesItStaysInTheArchive) {
  const std::string a = source("a.jpg", "AAAA");
  const std::string b = source("b.jpg", "BB");
  IMAGES images;
  cfg.set("allmaxsize", IMAGES::allmaxsize - 1);
  images.backup(a, cfg);  // carries the total past the cap, still into the first archive
  EXPECT_TRUE(num_eq(cfg.at("allmaxsize"), IMAGES::allmaxsize + 3));
  auto first = cfg.at("zfile").as_handle();
  images.backup(b, cfg);  // finds the total above the cap: new archive
  EXPECT_TRUE(num_eq(cfg.at("allmaxsize"), 2));
  EXPECT_NE(cfg.at("zfile").as_handle(), first);
  EXPECT_TRUE(std::static_pointer_cast<ZipWriter>(first)->closed());
  finish();
  const auto zips = archives();
  ASSERT_EQ(zips.size(), 2u);  // same second: the second one takes a suffix
  const std::string base = (tmp / "site").substr(1);
  std::vector<std::string> contents = {describe_zip(zips[0]), describe_zip(zips[1])};
  std::sort(contents.begin(), contents.end());
  EXPECT_EQ(contents, (std::vector<std::string>{base + "/a.jpg 8 0o644 AAAA\n",
                                                base + "/b.jpg 8 0o644 BB\n"}));

  // Exactly at the cap: no new archive.
  images.backup(a, cfg);
  auto open = cfg.at("zfile").as_handle();
  cfg.set("allmaxsize", IMAGES::allmaxsize);
  images.backup(b, cfg);
  EXPECT_EQ(cfg.at("zfile").as_handle(), open);
  finish();
}

TEST_F(Backup, ErrorsLeaveThePathRecordedAndTheArchiveUsable) {
  IMAGES images;
  const std::string a = source("a.jpg", "AAAA");
  images.backup(a, cfg);
  EXPECT_THROW(images.backup(tmp / "site/missing.jpg", cfg), OSError);
  EXPECT_EQ(cfg.at("result").at("files").as_list().back(), Value(tmp / "site/missing.jpg"));
  images.backup(a, cfg);
  finish();
  EXPECT_EQ(run_command("unzip -tqq " + shell_quote(archives().at(0))), 0);

  Value no_files = base_config(tmp.str());
  no_files.at("result").erase("files");
  EXPECT_THROW(images.backup(a, no_files), KeyError);
  Value no_total = base_config(tmp.str());
  no_total.set("isbackup", 1);
  EXPECT_THROW(images.backup(a, no_total), KeyError);
}

TEST_F(Backup, OnlyRegularFilesAreArchived) {
  const std::string fifo = tmp / "site/pipe.jpg";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  try {
    IMAGES().backup(fifo, cfg);  // must not wait for a writer
    FAIL();
  } catch (const OSError& e) {
    EXPECT_EQ(e.error_number(), EINVAL);
    EXPECT_EQ(e.filename(), fifo);
  }
  EXPECT_THROW(IMAGES().backup(tmp / "site", cfg), OSError);
  finish();
}

TEST_F(Backup, BackdirThatIsAFileIsAnError) {
  write_file(IMAGES::backdir(), "x");
  EXPECT_THROW(IMAGES().backup(source("a.jpg", "A"), cfg), OSError);
}

TEST(ZipWriter, ExistingArchiveIsNeverTruncated) {
  TempDir tmp;
  const std::string taken = tmp / "20261210120000.zip";
  write_file(taken, "precious");
  write_file(tmp / "20261210120000-1.zip", "also precious");
  write_file(tmp / "src.txt", "data");
  {
    ZipWriter zip(taken);
    EXPECT_EQ(zip.path(), tmp / "20261210120000-2.zip");
    zip.add_file(tmp / "src.txt", "src.txt");
  }  // completed by its destructor
  EXPECT_EQ(read_file(taken), "precious");
  EXPECT_EQ(read_file(tmp / "20261210120000-1.zip"), "also precious");
  EXPECT_EQ(run_command("unzip -tqq " + shell_quote(tmp / "20261210120000-2.zip")), 0);
}

TEST(ZipWriter, ClosedArchiveRefusesMoreEntries) {
  TempDir tmp;
  write_file(tmp / "src.txt", "data");
  ZipWriter zip(tmp / "a.zip");
  zip.close();
  zip.close();  // a second close does nothing
  EXPECT_THROW(zip.add_file(tmp / "src.txt", "src.txt"), ValueError);
  EXPECT_THROW(ZipWriter(tmp / "missing/dir/a.zip"), OSError);
}

// A run that raises leaves the archive in cfg; once the host lets go of cfg the archive is
// complete and readable.
TEST(BackupInARun, ArchiveIsValidAfterAFailedRun) {
  TempDir tmp;
  fs::create_directories(tmp / "site");
  write_file(tmp / "site/a.jpg", "AAAA");
  std::string zip_path;
  {
    Value cfg = base_config(tmp / "site");
    cfg.set("isbackup", true);
    SeamGuard seam([](IMAGES& self, const std::string& fpath, const Value& c, bool) {
      self.backup(fpath, c);
      throw std::runtime_error("pipeline failed after the backup");
    });
    CapturedLines out;
    EXPECT_THROW(IMAGES().execute(cfg), std::runtime_error);
    ASSERT_TRUE(cfg.contains("zfile"));
    zip_path = std::static_pointer_cast<ZipWriter>(cfg.at("zfile").as_handle())->path();
  }
  EXPECT_EQ(run_command("unzip -tqq " + shell_quote(zip_path)), 0);
}

}  // namespace
}  // namespace img_util::test
