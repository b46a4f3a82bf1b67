#include "support/atomic_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "img_util/errors.hpp"
#include "support/fixtures.hpp"

namespace img_util {
namespace {

using test::read_file;
using test::TempDir;
using test::write_file;
namespace fs = std::filesystem;

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Names in `dir` other than the expected ones: a failed write must leave no temporary file.
std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(AtomicFile, WritesChunksOfANewFileWithTheUsualPermissions) {
  TempDir dir;
  std::string path = dir / "new.jpg";
  write_file_atomically(path, {"image bytes", "Amask"});
  EXPECT_EQ(read_file(path),
            "image bytes"
            "Amask");
  mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(mode_of(path), 0666 & ~mask);
  EXPECT_EQ(entries(dir.str()), (std::vector<std::string>{"new.jpg", "plugin"}));
}

TEST(AtomicFile, ReplacingKeepsPermissionBits) {
  TempDir dir;
  std::string path = dir / "a.png";
  write_file(path, "old content");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  write_file_atomically(path, {"new", "Bmask"});
  EXPECT_EQ(read_file(path), "newBmask");
  EXPECT_EQ(mode_of(path), 0640u);
}

TEST(AtomicFile, PrivateFileIsNeverReadableByOthersWhileWritten) {
  TempDir dir;
  std::string path = dir / "private.jpg";
  write_file(path, "secret");
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  AtomicFile f(path);
  f.write("new");
  int temporaries = 0;
  for (const auto& e : fs::directory_iterator(dir.path())) {
    if (e.path().filename().string().rfind(".private.jpg.", 0) == 0) {
      ++temporaries;
      EXPECT_EQ(mode_of(e.path().string()), 0600u) << e.path();
    }
  }
  EXPECT_EQ(temporaries, 1);
  f.commit();
  EXPECT_EQ(mode_of(path), 0600u);
  EXPECT_EQ(read_file(path), "new");
}

TEST(AtomicFile, GivenBitsAndTimeOverrideTheUsualOnesAndSurviveAMove) {
  TempDir dir;
  for (const bool existed : {false, true}) {
    const std::string path = dir / (existed ? "old.jpg" : "new.jpg");
    if (existed) write_file(path, "old");
    FilePlace place;
    place.dir = open_directory_below(dir.str(), {}, false);
    place.name = existed ? "old.jpg" : "new.jpg";
    place.path = path;
    place.dir_path = dir.str();
    place.mode = 0604;
    place.mtime = timespec{1500000000, 0};
    AtomicFile first(std::move(place));
    AtomicFile f(std::move(first));
    f.write("restored");
    // Private until its bits are given, whatever the umask would allow.
    for (const auto& e : fs::directory_iterator(dir.path())) {
      if (e.path().filename().string().find(".tmp-") != std::string::npos) {
        EXPECT_EQ(mode_of(e.path().string()), 0600u) << e.path();
      }
    }
    f.commit();
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u) << path;
    EXPECT_EQ(st.st_mtim.tv_sec, 1500000000) << path;
    EXPECT_EQ(read_file(path), "restored");
  }
}

TEST(AtomicFile, SymlinkIsWrittenThroughAndStaysALink) {
  TempDir dir;
  fs::create_directories(dir.path() / "real");
  std::string target = dir / "real/photo.jpg";
  write_file(target, "old");
  ASSERT_EQ(::chmod(target.c_str(), 0604), 0);
  std::string link = dir / "link.jpg";
  ASSERT_EQ(::symlink("real/photo.jpg", link.c_str()), 0);

  write_file_atomically(link, {"new", "Amask"});

  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link), "real/photo.jpg");
  EXPECT_EQ(read_file(target), "newAmask");
  EXPECT_EQ(mode_of(target), 0604u);
}

TEST(AtomicFile, ResolvesChainsOfRelativeAndAbsoluteLinks) {
  TempDir dir;
  fs::create_directories(dir.path() / "a/b");
  std::string file = dir / "a/b/f.jpg";
  write_file(file, "x");
  ASSERT_EQ(::symlink("b/f.jpg", (dir / "a/l1").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "a/l1").c_str(), (dir / "l2").c_str()), 0);
  EXPECT_EQ(fs::weakly_canonical(resolve_links(dir / "l2")), fs::weakly_canonical(file));
  EXPECT_EQ(resolve_links(file), file);
}

TEST(AtomicFile, LinkLoopIsAnError) {
  TempDir dir;
  ASSERT_EQ(::symlink("b", (dir / "a").c_str()), 0);
  ASSERT_EQ(::symlink("a", (dir / "b").c_str()), 0);
  try {
    write_file_atomically(dir / "a", {"x"});
    FAIL() << "no error";
  } catch (const OSError& e) {
    EXPECT_EQ(e.error_number(), ELOOP);
    EXPECT_EQ(e.filename(), dir / "a");
  }
}

// Each failing system call must leave the original byte for byte and no temporary file.
struct Failure {
  const char* name;
  void (*inject)(FileOps&);
  int err;
};

void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

class AtomicFileFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(AtomicFileFailure, LeavesTheOriginalIntact) {
  TempDir dir;
  std::string path = dir / "keep.jpg";
  const std::string original("\xff\xd8 original \0 bytes", 20);
  write_file(path, original);
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  {
    FileOpsOverride restore;
    GetParam().inject(file_ops());
    try {
      write_file_atomically(path, {"replacement", "Amask"});
      ADD_FAILURE() << "no error";
    } catch (const OSError& e) {
      EXPECT_EQ(e.error_number(), GetParam().err);
      EXPECT_EQ(e.filename(), path);
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(read_file(path), original);
  EXPECT_EQ(mode_of(path), 0644u);
  EXPECT_EQ(entries(dir.str()), (std::vector<std::string>{"keep.jpg", "plugin"}));
}

INSTANTIATE_TEST_SUITE_P(
    Syscalls, AtomicFileFailure,
    ::testing::Values(Failure{"open",
                              [](FileOps& o) {
                                o.openat = [](int, const char*, int, mode_t) {
                                  errno = EACCES;
                                  return -1;
                                };
                              },
                              EACCES},
                      Failure{"write",
                              [](FileOps& o) {
                                o.write = [](int, const void*, size_t) -> ssize_t {
                                  errno = ENOSPC;
                                  return -1;
                                };
                              },
                              ENOSPC},
                      Failure{"short_then_fail",
                              [](FileOps& o) {
                                o.write = [](int fd, const void* b, size_t n) -> ssize_t {
                                  static int calls = 0;
                                  if (++calls % 2 == 0) {
                                    errno = EIO;
                                    return -1;
                                  }
                                  return ::write(fd, b, n > 3 ? 3 : n);
                                };
                              },
                              EIO},
                      Failure{"fsync",
                              [](FileOps& o) {
                                o.fsync = [](int) {
                                  errno = EIO;
                                  return -1;
                                };
                              },
                              EIO},
                      Failure{"close",
                              [](FileOps& o) {
                                o.close = [](int fd) {
                                  ::close(fd);
                                  errno = EIO;
                                  return -1;
                                };
                              },
                              EIO},
                      Failure{"rename",
                              [](FileOps& o) {
                                o.renameat = [](int, const char*, int, const char*) {
                                  errno = EXDEV;
                                  return -1;
                                };
                              },
                              EXDEV},
                      Failure{"read_only_target",
                              [](FileOps& o) {
                                o.accessat = [](int, const char*, int) {
                                  errno = EACCES;
                                  return -1;
                                };
                              },
                              EACCES}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AtomicFile, DirectoryOrSpecialTargetAndMissingDirectoryAreErrors) {
  TempDir dir;
  fs::create_directories(dir.path() / "sub.jpg");
  struct Case {
    std::string path;
    int err;
  } cases[] = {
      {dir / "sub.jpg", EISDIR}, {dir / "missing/a.jpg", ENOENT}, {dir / "fifo.jpg", EINVAL}};
  ASSERT_EQ(::mkfifo((dir / "fifo.jpg").c_str(), 0644), 0);
  for (const auto& c : cases) {
    try {
      write_file_atomically(c.path, {"x"});
      ADD_FAILURE() << c.path;
    } catch (const OSError& e) {
      EXPECT_EQ(e.error_number(), c.err) << c.path;
      EXPECT_EQ(e.filename(), c.path);
    }
  }
}

TEST(AtomicFile, RefusingFolderIsNamedInTheMessage) {
  TempDir dir;
  std::string path = dir / "a.jpg";
  FileOpsOverride restore;
  file_ops().openat = [](int, const char*, int, mode_t) {
    errno = EACCES;
    return -1;
  };
  try {
    write_file_atomically(path, {"x"});
    FAIL() << "no error";
  } catch (const OSError& e) {
    EXPECT_EQ(std::string(e.what()), "[Errno 13] Permission denied (creating a temporary file in " +
                                         dir.str() + "): '" + path + "'");
  }
}

TEST(AtomicFile, UncommittedFileLeavesNothingBehind) {
  TempDir dir;
  std::string path = dir / "a.jpg";
  write_file(path, "old");
  {
    AtomicFile f(path);
    f.write("half");
  }
  EXPECT_EQ(read_file(path), "old");
  EXPECT_EQ(entries(dir.str()), (std::vector<std::string>{"a.jpg", "plugin"}));
}

TEST(AtomicFile, FailedFlushOfTheFolderAfterTheRenameIsReported) {
  TempDir dir;
  std::string path = dir / "a.jpg";
  write_file(path, "old");
  FileOpsOverride restore;
  // Only the directory's flush fails; the temporary file's goes through.
  file_ops().fsync = [](int fd) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      errno = EIO;
      return -1;
    }
    return ::fsync(fd);
  };
  try {
    write_file_atomically(path, {"new", "Amask"});
    FAIL() << "no error";
  } catch (const OSError& e) {
    EXPECT_EQ(e.error_number(), EIO);
    EXPECT_EQ(std::string(e.what()),
              "[Errno 5] Input/output error (flushing its folder after the new content took its "
              "place): '" +
                  path + "'");
  }
  // Past the rename there is nothing to undo: the complete new content is in place.
  EXPECT_EQ(read_file(path), "newAmask");
  EXPECT_EQ(entries(dir.str()), (std::vector<std::string>{"a.jpg", "plugin"}));
}

TEST(AtomicFile, TemporaryNamesStayWithinTheNameLimit) {
  const std::string e_acute = "\xc3\xa9";
  // ".", the name's start, ".tmp-" and ten characters of 0-9 and a-z.
  auto has_temp_form = [](const std::string& t) {
    const size_t tail = t.size() < 15 ? std::string::npos : t.size() - 15;
    if (tail == std::string::npos || t[0] != '.' || t.compare(tail, 5, ".tmp-") != 0) return false;
    return std::all_of(t.end() - 10, t.end(), [](char ch) {
      return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z');
    });
  };
  const struct {
    std::string name;
    size_t kept;  // bytes of the name in the temporary name
  } cases[] = {
      {"a.jpg", 5},
      {std::string(239, 'x'), 239},
      {std::string(240, 'x'), 239},
      {std::string(250, 'y') + ".jpg", 239},
      // The cut at 239 would split the first character in two: one byte fewer.
      {std::string(238, 'z') + e_acute + e_acute + ".png", 238},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name.size());
    const std::string temp = temp_name_for(c.name);
    EXPECT_LE(temp.size(), 255u);
    EXPECT_TRUE(has_temp_form(temp)) << temp;
    EXPECT_EQ(temp.substr(1, temp.size() - 16), c.name.substr(0, c.kept));
    EXPECT_NE(temp_name_for(c.name), temp);
  }

  TempDir dir;
  const std::string path = dir / (std::string(246, 'n') + ".jpg");  // 250 bytes
  write_file(path, "old");
  write_file_atomically(path, {"new", "Bmask"});
  EXPECT_EQ(read_file(path), "newBmask");
  EXPECT_EQ(entries(dir.str()),
            (std::vector<std::string>{std::string(246, 'n') + ".jpg", "plugin"}));
}

TEST(OpenDirectoryBelow, CreatesMissingLevelsAndRefusesLinksAndFilesOnTheWay) {
  TempDir dir;
  const std::string root = dir / "out";
  {
    Fd made = open_directory_below(root, {"a", "", ".", "b"}, /*create=*/true);
    EXPECT_GE(made.get(), 0);
  }
  EXPECT_TRUE(fs::is_directory(root + "/a/b"));
  fs::create_directory_symlink(dir.str(), root + "/link");
  write_file(root + "/file", "");
  const struct {
    std::vector<std::string> below;
    bool create;
    int err;
    std::string named;
  } cases[] = {
      {{"link", "x"}, true, ELOOP, root + "/link"},
      {{"a", "file"}, false, ENOENT, root + "/a/file"},
      {{"file", "x"}, true, ENOTDIR, root + "/file"},
      {{"a", ".."}, true, EINVAL, root + "/a/.."},
  };
  for (const auto& c : cases) {
    try {
      open_directory_below(root, c.below, c.create);
      ADD_FAILURE() << c.named;
    } catch (const OSError& e) {
      EXPECT_EQ(e.error_number(), c.err) << e.what();
      EXPECT_EQ(e.filename(), c.named);
    }
  }
  EXPECT_FALSE(fs::exists(dir / "x"));
}

TEST(MakeDirectories, CreatesChainsAcceptsExistingAndRefusesFilesInTheWay) {
  TempDir dir;
  make_directories(dir / "x/y/z");
  EXPECT_TRUE(fs::is_directory(dir / "x/y/z"));
  make_directories(dir / "x/y/z");
  make_directories(dir / "x/y/");
  write_file(dir / "x/file", "");
  for (const std::string& bad : {dir / "x/file", dir / "x/file/deeper"}) {
    try {
      make_directories(bad);
      ADD_FAILURE() << bad;
    } catch (const OSError& e) {
      EXPECT_TRUE(e.error_number() == EEXIST || e.error_number() == ENOTDIR) << e.what();
      EXPECT_NE(std::string(e.what()).find(dir / "x/file"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace img_util
