// Archives that survive the run that wrote them: every entry on disk once added, archives cut
// anywhere repaired to their whole entries, a full disk leaving a readable archive, and the
// leftovers of a killed run cleaned up before the next walk.
#include "support/zip_repair.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "helpers.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "support/atomic_file.hpp"
#include "support/fd.hpp"
#include "support/fixtures.hpp"
#include "support/leftovers.hpp"
#include "support/zip_writer.hpp"

namespace img_util::test {
namespace {

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Sources of every shape an entry takes: small, empty, compressible, incompressible (several
// deflate blocks).
std::vector<std::string> make_sources(const TempDir& tmp) {
  fs::create_directories(tmp / "src");
  const std::vector<std::pair<std::string, std::string>> files = {
      {"a.jpg", "hello"},
      {"empty.png", ""},
      {"text.gif", std::string(50000, 'x') + "tail"},
      {"noise.jpg", random_bytes(300000, 7)},
  };
  std::vector<std::string> paths;
  for (const auto& [name, bytes] : files) {
    paths.push_back(tmp / ("src/" + name));
    write_file(paths.back(), bytes);
    ::chmod(paths.back().c_str(), 0644);
  }
  return paths;
}

// Python's zipfile reads the archive and checks every entry; prints "name size" per entry.
std::string zipfile_listing(const std::string& zip) {
  std::string out;
  const std::string cmd =
      "/usr/bin/python3 -c '\n"
      "import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "assert z.testzip() is None\n"
      "for i in z.infolist(): print(i.filename, i.file_size)\n"
      "' " +
      shell_quote(zip) + " 2>&1";
  EXPECT_EQ(run_command(cmd, &out), 0) << out;
  return out;
}

ZipRepairResult repair_file(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  EXPECT_GE(fd.get(), 0) << path;
  return rebuild_central_directory(fd.get(), path);
}

bool complete(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return zip_is_complete(fd.get(), path);
}

// The archive's bytes as they are on disk right after each add_file, and the finished archive.
struct Snapshots {
  std::vector<std::string> after_entry;
  std::string closed;
};

Snapshots write_with_snapshots(const TempDir& tmp, const std::vector<std::string>& sources) {
  Snapshots s;
  ZipWriter zip(tmp / "out.zip");
  for (const std::string& src : sources) {
    zip.add_file(src, src.substr(1));
    s.after_entry.push_back(read_file(zip.path()));
  }
  zip.close();
  s.closed = read_file(zip.path());
  return s;
}

// The file as the writer leaves it after an entry, repaired, is the finished archive up to
// that entry: every byte of the entry was written by then, and the rebuilt central directory
// is the one the writer would have written.
TEST(ZipRepair, EachAddedEntryIsOnDiskAndRepairsToWhatCloseWrites) {
  TempDir tmp;
  const auto sources = make_sources(tmp);
  const Snapshots s = write_with_snapshots(tmp, sources);
  EXPECT_TRUE(complete(tmp / "out.zip"));

  const std::string last = tmp / "last.zip";
  write_file(last, s.after_entry.back());
  EXPECT_FALSE(complete(last));
  const ZipRepairResult r = repair_file(last);
  EXPECT_EQ(r.entries_kept, sources.size());
  EXPECT_EQ(r.bytes_dropped, 0u);
  EXPECT_EQ(read_file(last), s.closed);

  for (size_t i = 0; i < s.after_entry.size(); ++i) {
    const std::string p = tmp / ("after" + std::to_string(i) + ".zip");
    write_file(p, s.after_entry[i]);
    EXPECT_EQ(repair_file(p).entries_kept, i + 1);
    EXPECT_TRUE(complete(p));
  }
  EXPECT_EQ(run_command("unzip -tqq " + shell_quote(tmp / "after1.zip")), 0);
  EXPECT_EQ(zipfile_listing(tmp / "after1.zip"),
            sources[0].substr(1) + " 5\n" + sources[1].substr(1) + " 0\n");
}

// Cut at every offset (a killed run, a full disk): the repair keeps exactly the entries that
// end before the cut and drops the rest, and the result reads in unzip and zipfile.
TEST(ZipRepair, ArchiveCutAnywhereKeepsItsWholeEntries) {
  TempDir tmp;
  const auto sources = make_sources(tmp);
  const Snapshots s = write_with_snapshots(tmp, sources);
  std::vector<size_t> ends;
  for (const std::string& snap : s.after_entry) ends.push_back(snap.size());

  // Every offset through the small entries, then steps through the large one and into the
  // central directory.
  std::vector<size_t> cuts;
  for (size_t c = 0; c < ends[2] + 40; ++c) cuts.push_back(c);
  for (size_t c = ends[2] + 40; c < s.closed.size(); c += 4999) cuts.push_back(c);
  cuts.push_back(s.closed.size() - 1);

  fs::create_directories(tmp / "cut");
  size_t written = 0;
  for (const size_t cut : cuts) {
    const std::string p = tmp / ("cut/" + std::to_string(cut) + ".zip");
    write_file(p, s.closed.substr(0, cut));
    const size_t whole = static_cast<size_t>(
        std::count_if(ends.begin(), ends.end(), [cut](size_t e) { return e <= cut; }));
    const ZipRepairResult r = repair_file(p);
    ASSERT_EQ(r.entries_kept, whole) << "cut at " << cut;
    ASSERT_EQ(r.bytes_dropped, cut - (whole ? ends[whole - 1] : 0)) << "cut at " << cut;
    EXPECT_EQ(r.emptied, whole == 0);
    if (whole == 0) {
      EXPECT_EQ(fs::file_size(p), 0u);
      fs::remove(p);
    } else {
      ++written;
    }
  }
  // zipfile reads all of them, unzip one in 20 (each start costs a few milliseconds).
  std::string out;
  const std::string cmd =
      "cd " + shell_quote(tmp / "cut") +
      " && ls *.zip | awk 'NR % 20 == 1' | while read f; do unzip -tqq \"$f\" >/dev/null ||"
      " echo \"unzip: $f\"; done;"
      " /usr/bin/python3 -c 'import glob, zipfile\n"
      "for f in glob.glob(\"*.zip\"):\n"
      "    assert zipfile.ZipFile(f).testzip() is None, f\n"
      "print(len(glob.glob(\"*.zip\")))' 2>&1";
  run_command(cmd, &out);
  EXPECT_EQ(out, std::to_string(written) + "\n");
}

// A repair that is itself killed after writing the central directory, before cutting the file:
// the next one finds the directory followed by the old tail and repairs again to the same bytes.
TEST(ZipRepair, InterruptedRepairIsRepairedAgain) {
  TempDir tmp;
  const Snapshots s = write_with_snapshots(tmp, make_sources(tmp));
  const std::string p = tmp / "again.zip";
  write_file(p, s.closed + "PK\x03\x04 the torn tail of the entry that was under way");
  EXPECT_FALSE(complete(p));
  EXPECT_EQ(repair_file(p).entries_kept, 4u);
  EXPECT_EQ(read_file(p), s.closed);
}

TEST(ZipRepair, DamagedEntryEndsTheArchiveThere) {
  TempDir tmp;
  const auto sources = make_sources(tmp);
  const Snapshots s = write_with_snapshots(tmp, sources);
  std::string bytes = s.after_entry.back();
  // A byte inside the compressible entry's data: its CRC no longer matches.
  bytes[s.after_entry[1].size() + 100] ^= 0x55;
  const std::string p = tmp / "damaged.zip";
  write_file(p, bytes);
  const ZipRepairResult r = repair_file(p);
  EXPECT_EQ(r.entries_kept, 2u);
  EXPECT_EQ(r.bytes_dropped, bytes.size() - s.after_entry[1].size());
  EXPECT_EQ(run_command("unzip -tqq " + shell_quote(p)), 0);
}

// Past 4 GiB the central directory takes Zip64 fields and end records. A sparse file stands in
// for the entries: readers find the directory without reading the data.
TEST(ZipRepair, CentralDirectoryUsesZip64PastTheClassicLimits) {
  TempDir tmp;
  const uint64_t big = 5ull << 30;
  std::vector<ZipEntryRecord> entries(2);
  entries[0].name = "small.jpg";
  entries[0].compressed_size = 10;
  entries[0].uncompressed_size = 12;
  entries[1].name = "far.jpg";
  entries[1].offset = big - 1000;
  entries[1].compressed_size = 0x100000000ull;
  entries[1].uncompressed_size = 0x100000005ull;
  const uint64_t cd_at = big;
  const std::string cd = central_directory(entries, cd_at);
  const std::string p = tmp / "sparse.zip";
  {
    Fd fd(::open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_EQ(::pwrite(fd.get(), cd.data(), cd.size(), static_cast<off_t>(cd_at)),
              static_cast<ssize_t>(cd.size()));
    EXPECT_TRUE(zip_is_complete(fd.get(), p));
  }
  std::string out;
  const std::string cmd =
      "/usr/bin/python3 -c 'import sys, zipfile\n"
      "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
      "    print(i.filename, i.header_offset, i.compress_size, i.file_size)' " +
      shell_quote(p) + " 2>&1";
  EXPECT_EQ(run_command(cmd, &out), 0) << out;
  EXPECT_EQ(
      out, "small.jpg 0 10 12\nfar.jpg " + std::to_string(big - 1000) + " 4294967296 4294967301\n");
}

TEST(ZipRepair, BackupFolderRepairsOnlyItsOwnTornArchives) {
  TempDir tmp;
  const auto sources = make_sources(tmp);
  const Snapshots s = write_with_snapshots(tmp, sources);
  const std::string dir = tmp / "backups";
  fs::create_directories(dir);
  write_file(dir + "/20261210120000.zip", s.closed);  // complete
  write_file(dir + "/20261210120001.zip", s.after_entry[1] + "PK\x03\x04torn");
  write_file(dir + "/20261210120002-1.zip", "");  // killed before entry one
  write_file(dir + "/20261210120003.zip", s.after_entry[0].substr(0, 20));
  write_file(dir + "/20261210120004.zip", "not a zip at all");  // not ours to touch
  write_file(dir + "/notes.zip", s.after_entry[1]);             // not our name form

  testing::internal::CaptureStderr();
  const auto repairs = repair_backup_archives(dir);
  testing::internal::GetCapturedStderr();
  std::vector<std::string> lines;
  for (const auto& r : repairs) lines.push_back(describe_repair(r));
  EXPECT_EQ(lines, (std::vector<std::string>{"repaired backup archive " + dir +
                                                 "/20261210120001.zip: 2 entries kept, 8 "
                                                 "bytes dropped",
                                             "removed backup archive " + dir +
                                                 "/20261210120002-1.zip: it held no "
                                                 "whole entry (0 bytes dropped)",
                                             "removed backup archive " + dir +
                                                 "/20261210120003.zip: it held no whole "
                                                 "entry (20 bytes dropped)"}));
  EXPECT_EQ(read_file(dir + "/20261210120000.zip"), s.closed);
  EXPECT_EQ(read_file(dir + "/20261210120004.zip"), "not a zip at all");
  EXPECT_EQ(read_file(dir + "/notes.zip"), s.after_entry[1]);
  EXPECT_FALSE(fs::exists(dir + "/20261210120002-1.zip"));
  EXPECT_EQ(zipfile_listing(dir + "/20261210120001.zip"),
            sources[0].substr(1) + " 5\n" + sources[1].substr(1) + " 0\n");
  EXPECT_TRUE(repair_backup_archives(dir).empty());  // nothing left to do
  EXPECT_TRUE(repair_backup_archives(tmp / "missing").empty());

  for (const auto& [name, ours] :
       std::vector<std::pair<std::string, bool>>{{"20261210120000.zip", true},
                                                 {"20261210120000-12.zip", true},
                                                 {"2026121012000.zip", false},
                                                 {"20261210120000-.zip", false},
                                                 {"20261210120000.zip.tmp", false},
                                                 {"x20261210120000.zip", false},
                                                 {"20261210120000-1a.zip", false}})
    EXPECT_EQ(is_backup_archive_name(name), ours) << name;
}

// A disk that fills part-way through an entry: the entry is dropped, the archive completed
// with the entries before it, the error names the archive; the next backup starts afresh.
size_t g_bytes_left = 0;
ssize_t write_until_full(int fd, const void* buf, size_t n) {
  if (g_bytes_left == 0) {
    errno = ENOSPC;
    return -1;
  }
  const size_t w = std::min(n, g_bytes_left);
  g_bytes_left -= w;
  return ::write(fd, buf, w);
}

TEST(ZipRepair, FullDiskLeavesACompleteArchiveOfTheEarlierEntries) {
  TempDir tmp;
  const auto sources = make_sources(tmp);
  const Snapshots s = write_with_snapshots(tmp, sources);
  fs::create_directories(tmp / "site");
  Value cfg = base_config(tmp / "site");
  cfg.set("isbackup", true);
  cfg.set("allmaxsize", 0);
  IMAGES images;
  images.backup(sources[0], cfg);
  images.backup(sources[1], cfg);
  auto archive_path = [&cfg] {
    return std::static_pointer_cast<ZipWriter>(cfg.at("zfile").as_handle())->path();
  };
  const std::string first = archive_path();
  {
    FileOpsOverride restore;
    file_ops().write = write_until_full;
    g_bytes_left = 5000;  // into the incompressible entry's data
    try {
      images.backup(sources[3], cfg);
      ADD_FAILURE() << "no error";
    } catch (const OSError& e) {
      EXPECT_EQ(e.error_number(), ENOSPC);
      EXPECT_EQ(e.filename(), first);
    }
    // The same bytes as a repair of the archive cut after its second entry.
    write_file(tmp / "expected.zip", s.after_entry[1]);
    repair_file(tmp / "expected.zip");
    EXPECT_EQ(read_file(first), read_file(tmp / "expected.zip"));
    // The very first entry of a new archive fails too: nothing of it stays behind.
    g_bytes_left = 10;
    EXPECT_THROW(images.backup(sources[3], cfg), OSError);
  }
  images.backup(sources[2], cfg);
  const std::string second = archive_path();
  cfg.at("zfile").as_handle()->close();
  EXPECT_NE(second, first);
  EXPECT_EQ(zipfile_listing(first), sources[0].substr(1) + " 5\n" + sources[1].substr(1) + " 0\n");
  EXPECT_EQ(zipfile_listing(second), sources[2].substr(1) + " 50004\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(IMAGES::backdir()), fs::directory_iterator()), 2);
}

// An archive this process still writes (a host keeps cfg["zfile"] of a run that raised) lacks
// its central directory by nature: a later run leaves it alone.
TEST(ZipRepair, ArchiveStillOpenInThisProcessIsNotRepaired) {
  TempDir tmp;
  const auto sources = make_sources(tmp);
  fs::create_directories(IMAGES::backdir());
  ZipWriter held(IMAGES::backdir() + "/20261210120000.zip");
  held.add_file(sources[0], "a.jpg");
  const std::string before = read_file(held.path());
  fs::create_directories(tmp / "site");
  testing::internal::CaptureStderr();
  IMAGES().execute(base_config(tmp / "site"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(read_file(held.path()), before);
  held.add_file(sources[1], "empty.png");
  held.close();
  EXPECT_EQ(zipfile_listing(held.path()), "a.jpg 5\nempty.png 0\n");
}

// A close that fails is an error naming the archive; from a destructor, a line on stderr.
int fsync_fails(int) {
  errno = EIO;
  return -1;
}

TEST(ZipRepair, FailingCloseIsReported) {
  TempDir tmp;
  const auto sources = make_sources(tmp);
  FileOpsOverride restore;
  {
    ZipWriter zip(tmp / "a.zip");
    file_ops().fsync = fsync_fails;
    try {
      zip.close();
      ADD_FAILURE() << "no error";
    } catch (const OSError& e) {
      EXPECT_EQ(e.error_number(), EIO);
      EXPECT_EQ(e.filename(), tmp / "a.zip");
    }
  }
  testing::internal::CaptureStderr();
  { ZipWriter zip(tmp / "b.zip"); }
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "img_util: the backup archive could not be completed: [Errno 5] Input/output error: '" +
                tmp / "b.zip" + "'\n");
}

TEST(Leftovers, TemporaryNamesOfAtomicWrites) {
  for (const auto& [name, ours] :
       std::vector<std::pair<std::string, bool>>{{".a.jpg.tmp-0123456789", true},
                                                 {".a.jpg.tmp-abcdefghij", true},
                                                 {"..tmp-0123456789", true},
                                                 {".x.tmp-0123456789", true},
                                                 {"a.jpg.tmp-0123456789", false},
                                                 {".a.jpg.tmp-012345678", false},
                                                 {".a.jpg.tmp-0123456789a", false},
                                                 {".a.jpg.tmp-ABCDEFGHIJ", false},
                                                 {".a.jpg.tmp_0123456789", false},
                                                 {".a.jpg", false},
                                                 {".tmp-0123456789", false}})
    EXPECT_EQ(is_atomic_temp_name(name), ours) << name;
}

// Only regular files of that form go, in the trees the run walks and writes, by the walk's
// rules; anything of that name that reaches the walk is not processed.
TEST(Leftovers, RunRemovesThemBeforeTheWalkAndNeverProcessesThem) {
  TempDir tmp;
  const std::string site = tmp / "site";
  const std::string out = tmp / "out";
  fs::create_directories(site + "/sub/deeper");
  fs::create_directories(out + "/sub");
  fs::create_directories(site + "/.d.tmp-0123456789");  // a directory: stays
  for (const std::string& p : {site + "/a.jpg", site + "/.a.jpg.tmp-0123456789",
                               site + "/sub/deeper/.b.png.tmp-zzzzzzzzzz",
                               out + "/sub/.c.jpg.tmp-aaaaaaaaaa", site + "/.a.jpg.tmp-0123"})
    write_file(p, "x");
  fs::create_symlink(site + "/a.jpg", site + "/.l.jpg.tmp-0123456789");  // a link: stays

  std::vector<std::string> seen;
  SeamGuard seam([&seen](IMAGES&, const std::string& fpath, const Value&, bool) {
    seen.push_back(fpath.substr(fpath.rfind('/') + 1));
  });
  for (const bool subfold : {false, true}) {
    Value cfg = base_config(site);
    cfg.set("subfold", subfold);
    cfg.set("outpath", out);
    seen.clear();
    testing::internal::CaptureStderr();
    IMAGES().execute(cfg);
    const std::string err = testing::internal::GetCapturedStderr();
    std::sort(seen.begin(), seen.end());
    // Top level: directories reach the pipeline as entries do (and file selection refuses
    // them there), except one named like a temporary file.
    const std::vector<std::string> expected =
        subfold ? std::vector<std::string>{".a.jpg.tmp-0123", "a.jpg"}
                : std::vector<std::string>{".a.jpg.tmp-0123", "a.jpg", "sub"};
    EXPECT_EQ(seen, expected);
    if (!subfold) {
      EXPECT_EQ(err, "img_util: removed the temporary file " + site +
                         "/.a.jpg.tmp-0123456789 of an unfinished write\n"
                         "img_util: removed the temporary file " +
                         out + "/sub/.c.jpg.tmp-aaaaaaaaaa of an unfinished write\n");
      EXPECT_TRUE(fs::exists(site + "/sub/deeper/.b.png.tmp-zzzzzzzzzz"));  // not walked
    } else {
      EXPECT_EQ(err, "img_util: removed the temporary file " + site +
                         "/sub/deeper/.b.png.tmp-zzzzzzzzzz of an unfinished write\n");
    }
  }
  EXPECT_TRUE(fs::is_symlink(site + "/.l.jpg.tmp-0123456789"));
  EXPECT_TRUE(fs::is_directory(site + "/.d.tmp-0123456789"));
  EXPECT_TRUE(fs::exists(site + "/.a.jpg.tmp-0123"));
}

}  // namespace
}  // namespace img_util::test
