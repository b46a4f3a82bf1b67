// img_util restore: the originals back from the backup archives, and the entries it refuses.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

struct Stat {
  std::string bytes;
  mode_t perm = 0;
  timespec mtime{};
};

Stat stat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return {read_file(path), static_cast<mode_t>(st.st_mode & 07777), st.st_mtim};
}

void set_mtime(const std::string& path, time_t sec, long nsec) {
  const timespec times[2] = {{0, UTIME_OMIT}, {sec, nsec}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// One entry of an archive made in the test, as no backup would make it.
struct Crafted {
  Crafted(std::string name_, std::string data_, mode_t perm_ = 0640, mode_t type_ = AE_IFREG)
      : name(std::move(name_)), data(std::move(data_)), type(type_), perm(perm_) {}
  std::string name;
  std::string data;
  mode_t type;
  mode_t perm;
  time_t mtime = 1600000000;
  std::string link;  // a symbolic link's target
  int64_t uid = 0, gid = 0;
};

void write_zip(const std::string& path, const std::vector<Crafted>& entries) {
  std::unique_ptr<archive, int (*)(archive*)> a(archive_write_new(), archive_write_free);
  ASSERT_EQ(archive_write_set_format_zip(a.get()), ARCHIVE_OK);
  ASSERT_EQ(archive_write_open_filename(a.get(), path.c_str()), ARCHIVE_OK);
  for (const Crafted& c : entries) {
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> e(archive_entry_new(),
                                                               archive_entry_free);
    archive_entry_copy_pathname(e.get(), c.name.c_str());
    archive_entry_set_filetype(e.get(), c.type);
    archive_entry_set_perm(e.get(), c.perm);
    archive_entry_set_mtime(e.get(), c.mtime, 0);
    archive_entry_set_uid(e.get(), c.uid);
    archive_entry_set_gid(e.get(), c.gid);
    if (!c.link.empty()) archive_entry_copy_symlink(e.get(), c.link.c_str());
    archive_entry_set_size(e.get(), static_cast<la_int64_t>(c.data.size()));
    ASSERT_EQ(archive_write_header(a.get(), e.get()), ARCHIVE_OK) << c.name;
    if (!c.data.empty()) {
      ASSERT_EQ(archive_write_data(a.get(), c.data.data(), c.data.size()),
                static_cast<la_ssize_t>(c.data.size()));
    }
  }
  ASSERT_EQ(archive_write_close(a.get()), ARCHIVE_OK);
}

// Every file below `dir` with its bytes, bits and time.
std::map<std::string, Stat> tree_of(const std::string& dir) {
  std::map<std::string, Stat> out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file() && !e.is_symlink()) out[e.path()] = stat_of(e.path());
  return out;
}

bool same(const Stat& a, const Stat& b) {
  return a.bytes == b.bytes && a.perm == b.perm && a.mtime.tv_sec == b.mtime.tv_sec &&
         a.mtime.tv_nsec == b.mtime.tv_nsec;
}

class Restore : public ::testing::Test {
 protected:
  void SetUp() override {
    // Without links on the way, which restore would refuse to follow.
    root = fs::canonical(tmp.path()).string();
    site = root + "/site";
    plugin = tmp.plugin();
    fs::create_directories(site + "/sub/deeper");
  }
  // A compressing run with backups over the site; the archives it wrote.
  std::vector<std::string> run_with_backups() {
    Value cfg = parse_json(R"({"subfold": true, "maskmode": 1, "exts": [".jpg", ".png"],
        "utimemode": 0, "utime": "", "isbackup": true, "yswidth": 60})");
    cfg.set("folder", site);
    write_file(tmp / "cfg.json", to_json(cfg));
    const CliResult r = run_cli({"run", tmp / "cfg.json", "--plugin-dir", plugin, "--no-log"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> zips;
    for (const auto& e : fs::directory_iterator(plugin + "/backups")) zips.push_back(e.path());
    return zips;
  }
  CliResult restore(std::vector<std::string> args) {
    args.insert(args.begin(), "restore");
    return run_cli(args);
  }
  TempDir tmp;
  std::string root, site, plugin;
};

TEST_F(Restore, PutsBackTheOriginalsWithTheirTimesAndBits) {
  const std::string jpg = write_photo(site + "/a.jpg", 160, 120);
  const std::string png = write_photo(site + "/sub/deeper/b.png", 120, 90, Mode::RGBA);
  const std::string gone = write_photo(site + "/sub/gone.jpg", 140, 100);
  ASSERT_EQ(::chmod(jpg.c_str(), 0640), 0);
  ASSERT_EQ(::chmod(png.c_str(), 0604), 0);
  ASSERT_EQ(::chmod(gone.c_str(), 0600), 0);
  set_mtime(jpg, 1500000000, 0);
  set_mtime(png, 1600000001, 0);
  set_mtime(gone, 1400000002, 0);
  const std::map<std::string, Stat> before = tree_of(site);
  const std::vector<std::string> zips = run_with_backups();
  ASSERT_EQ(zips.size(), 1u);
  for (const auto& [path, original] : before)
    ASSERT_NE(read_file(path), original.bytes) << path << " was not processed";

  // A file removed since, with its folder, is made again with the bits it had.
  fs::remove_all(site + "/sub/deeper");
  fs::remove(gone);

  // A dry run says what it would do and touches nothing.
  const std::map<std::string, Stat> processed = tree_of(site);
  const CliResult dry = restore({zips[0], "--dry-run"});
  EXPECT_EQ(dry.exit_code, 0) << dry.err;
  EXPECT_EQ(lines_of(dry.out).size(), 4u) << dry.out;
  EXPECT_NE(dry.out.find("  would restore '" + png + "' ("), std::string::npos) << dry.out;
  EXPECT_NE(dry.err.find("dry run: 3 files would be restored from 1 archive; 0 skipped, 0 "
                         "refused, 0 failed; nothing was touched"),
            std::string::npos)
      << dry.err;
  const std::map<std::string, Stat> after_dry = tree_of(site);
  ASSERT_EQ(after_dry.size(), processed.size());
  for (const auto& [path, s] : processed) EXPECT_TRUE(same(after_dry.at(path), s)) << path;

  const CliResult r = restore({zips[0]});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(lines_of(r.out)[0], "'" + zips[0] + "':");
  EXPECT_NE(r.out.find("  restored '" + jpg + "' (" + std::to_string(before.at(jpg).bytes.size()) +
                       " bytes)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("restored 3 files from 1 archive; 0 skipped, 0 refused, 0 failed"),
            std::string::npos)
      << r.err;
  const std::map<std::string, Stat> after = tree_of(site);
  ASSERT_EQ(after.size(), before.size());
  for (const auto& [path, original] : before) {
    const Stat& now = after.at(path);
    EXPECT_TRUE(now.bytes == original.bytes) << path;
    EXPECT_EQ(now.perm, original.perm) << path;
    EXPECT_EQ(now.mtime.tv_sec, original.mtime.tv_sec) << path;
  }
  // Nothing is left beside them: no temporary file, no stray entry.
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::recursive_directory_iterator(site)) ++entries;
  EXPECT_EQ(entries, 5u);  // three files, sub and sub/deeper
}

TEST_F(Restore, RefusesEntryByEntryWhatWouldLandOutsideItsTarget) {
  const std::string to = root + "/to", outside = root + "/outside";
  fs::create_directories(to + "/srv/links");
  fs::create_directories(outside);
  write_file(outside + "/kept.txt", "outside");
  // A link on the way to an entry, and one standing where an entry would go.
  fs::create_directory_symlink(outside, to + "/srv/out");
  fs::create_symlink(outside + "/kept.txt", to + "/srv/links/kept.txt");
  const std::string zip = root + "/crafted.zip";
  Crafted first("srv/www/a.txt", "first", 0640);
  first.mtime = 1400000000;
  Crafted link("srv/www/link", "", 0777, AE_IFLNK);
  link.link = "/etc/passwd";
  Crafted owned("srv/www/owned.txt", "owned", 0604);
  owned.uid = 1234;
  owned.gid = 5678;
  write_zip(zip, {
                     first,
                     {"../escape.txt", "x"},
                     {"srv/../../escape.txt", "x"},
                     {"/etc/absolute.txt", "x"},
                     {"srv/./dot.txt", "x"},
                     {"srv/out/kept.txt", "through a link"},
                     {"srv/links/kept.txt", "onto a link"},
                     link,
                     {"srv/www/folder/", "", 0755, AE_IFDIR},
                     {"srv/www/a.txt", "second"},
                     owned,
                 });

  const CliResult r = restore({zip, "--to", to});
  EXPECT_EQ(r.exit_code, 3) << r.err;
  EXPECT_EQ(
      lines_of(r.out),
      (std::vector<std::string>{
          "'" + zip + "':",
          "  restored '" + to + "/srv/www/a.txt' (5 bytes)",
          "  refused '../escape.txt': a '..' part, which would climb out of its folder",
          "  refused 'srv/../../escape.txt': a '..' part, which would climb out of its folder",
          "  refused '/etc/absolute.txt': an absolute name (backups name files without the "
          "leading /)",
          "  refused 'srv/./dot.txt': not a plain path (an empty or '.' part)",
          "  refused '" + to + "/srv/out/kept.txt': a symbolic link at " + to +
              "/srv/out (not followed)",
          "  refused '" + to + "/srv/links/kept.txt': a symbolic link at " + to +
              "/srv/links/kept.txt (not followed)",
          "  refused '/srv/www/link': not a regular file (backups hold files only)",
          "  skipped '/srv/www/folder': a folder (folders are made as their files need them)",
          "  skipped '/srv/www/a.txt': restored already from " + zip,
          "  restored '" + to + "/srv/www/owned.txt' (5 bytes)",
      }));
  EXPECT_NE(r.err.find("restored 2 files from 1 archive; 2 skipped, 7 refused, 0 failed"),
            std::string::npos)
      << r.err;

  EXPECT_EQ(read_file(outside + "/kept.txt"), "outside");
  EXPECT_EQ(fs::directory_iterator(outside)->path(), outside + "/kept.txt");
  EXPECT_TRUE(fs::is_symlink(to + "/srv/links/kept.txt"));
  EXPECT_FALSE(fs::exists(root + "/escape.txt"));
  EXPECT_FALSE(fs::exists(to + "/escape.txt"));
  EXPECT_FALSE(fs::exists(to + "/etc"));
  EXPECT_FALSE(fs::exists(to + "/srv/www/link"));
  const Stat a = stat_of(to + "/srv/www/a.txt");
  EXPECT_EQ(a.bytes, "first");
  EXPECT_EQ(a.perm, 0640u);
  EXPECT_EQ(a.mtime.tv_sec, 1400000000);
  struct stat st {};
  ASSERT_EQ(::stat((to + "/srv/www/owned.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  if (::geteuid() == 0) {
    // Only root may give a new file its old owner.
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
  }
}

TEST_F(Restore, OnlyAndToChooseWhatGoesWhere) {
  const std::string zip = root + "/backup.zip";
  write_zip(zip, {
                     {"srv/www/a.jpg", "a"},
                     {"srv/www/up/b.jpg", "b"},
                     {"srv/www/up/c.jpg", "c"},
                     {"srv/www/upper/d.jpg", "d"},
                     {"srv/other/e.jpg", "e"},
                 });
  const std::string to = root + "/to";
  // --only takes every argument up to the next option: a folder, then a file with a trailing
  // slash and a "." part, which name it just the same.
  const CliResult r =
      restore({"--only", "/srv/www/up", "/srv/./other/e.jpg/", "--to", to, zip, "--only=/nowhere"});
  EXPECT_EQ(r.exit_code, 3) << r.err;  // --only /nowhere matched nothing
  EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{
                                 "'" + zip + "':",
                                 "  skipped '/srv/www/a.jpg': not under --only",
                                 "  restored '" + to + "/srv/www/up/b.jpg' (1 byte)",
                                 "  restored '" + to + "/srv/www/up/c.jpg' (1 byte)",
                                 "  skipped '/srv/www/upper/d.jpg': not under --only",
                                 "  restored '" + to + "/srv/other/e.jpg' (1 byte)",
                             }));
  EXPECT_NE(r.err.find("img_util: nothing in the archives is at or below --only '/nowhere'\n"),
            std::string::npos)
      << r.err;
  std::vector<std::string> written;
  for (const auto& [path, s] : tree_of(to)) written.push_back(path.substr(to.size()));
  EXPECT_EQ(written, (std::vector<std::string>{"/srv/other/e.jpg", "/srv/www/up/b.jpg",
                                               "/srv/www/up/c.jpg"}));
}

TEST_F(Restore, DamagedEntriesFailAloneAndLeaveTheirTargetAlone) {
  const std::string to = root + "/to";
  fs::create_directories(to + "/srv");
  write_file(to + "/srv/b.txt", "current b");
  const std::string zip = root + "/backup.zip";
  const std::string b(4000, 'b');
  write_zip(zip, {{"srv/a.txt", "aaaa"}, {"srv/b.txt", b}, {"srv/c.txt", "cccc"}});
  // One byte of b's data changed: it no longer inflates to what its checksum says.
  std::string bytes = read_file(zip);
  const size_t header = bytes.find("srv/b.txt") - 30;
  const auto u16 = [&bytes](size_t at) {
    return static_cast<size_t>(static_cast<unsigned char>(bytes[at])) |
           static_cast<size_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
  };
  const size_t data = header + 30 + u16(header + 26) + u16(header + 28);
  bytes[data + 3] = static_cast<char>(bytes[data + 3] ^ 0x55);
  write_file(zip, bytes);

  const CliResult r = restore({zip, "--to", to});
  EXPECT_EQ(r.exit_code, 3);
  const auto out = lines_of(r.out);
  ASSERT_EQ(out.size(), 4u) << r.out;
  EXPECT_EQ(out[1], "  restored '" + to + "/srv/a.txt' (4 bytes)");
  EXPECT_EQ(out[2].rfind("  failed '" + to + "/srv/b.txt': ", 0), 0u) << out[2];
  EXPECT_EQ(out[3], "  restored '" + to + "/srv/c.txt' (4 bytes)");
  EXPECT_TRUE(read_file(to + "/srv/b.txt") == "current b");
  size_t files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(to + "/srv")) ++files;
  EXPECT_EQ(files, 3u);  // no temporary file left behind

  // An archive cut short before its central directory gives its whole entries, without their
  // bits: the file in place keeps its own.
  write_zip(zip, {{"srv/a.txt", "new a", 0600}, {"srv/c.txt", std::string(5000, 'c')}});
  ASSERT_EQ(::chmod((to + "/srv/a.txt").c_str(), 0644), 0);
  const std::string whole = read_file(zip);
  write_file(zip, whole.substr(0, whole.find("srv/c.txt") + 40));
  const CliResult cut = restore({zip, "--to", to});
  EXPECT_EQ(cut.exit_code, 3);
  EXPECT_EQ(lines_of(cut.out).at(1), "  restored '" + to + "/srv/a.txt' (5 bytes)");
  EXPECT_NE(cut.err.find("was cut short before its central directory"), std::string::npos)
      << cut.err;
  EXPECT_EQ(read_file(to + "/srv/a.txt"), "new a");
  EXPECT_EQ(stat_of(to + "/srv/a.txt").perm, 0644u);
}

TEST_F(Restore, UsageAndUnreadableArchives) {
  for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                {"--only", "/x"},
                                                                {"a.zip", "--only"},
                                                                {"a.zip", "--only", "--dry-run"},
                                                                {"a.zip", "--to"},
                                                                {"a.zip", "--to="},
                                                                {"a.zip", "--bogus"}}) {
    const CliResult r = restore(args);
    EXPECT_EQ(r.exit_code, 2) << testing::PrintToString(args);
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  const CliResult help = restore({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out.rfind("usage: img_util restore ARCHIVE...", 0), 0u) << help.out;

  write_file(root + "/not.zip", "no archive at all");
  const CliResult r = restore({root + "/missing.zip", root + "/not.zip"});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_NE(
      r.err.find("cannot read the archive '" + root + "/missing.zip': No such file or directory"),
      std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("cannot read the archive '" + root + "/not.zip': "), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("restored 0 files from 0 archives"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace img_util::test
