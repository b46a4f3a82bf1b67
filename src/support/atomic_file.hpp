// Replacing a file so that readers see either the old content or the complete new one, and
// so that a power cut cannot leave anything else under the target's name.
//
// The new content goes to a temporary file in the target's directory, is flushed to disk and
// then renamed over the target; the directory is flushed after the rename. The target keeps
// its permission bits (and its owner and group where the process may set them). Any failure
// before the rename leaves the old file byte for byte as it was and removes the temporary file.
//
// Two ways to name the target. A path: symbolic links in it are followed, the final one too
// (its target is replaced and the link stays a link). A FilePlace: a directory the caller has
// opened and a name in it; everything happens relative to that descriptor, and a link standing
// at the name is refused, never followed, so nothing can be swapped in between.
//
// Every error is an OSError carrying errno and the target's name as the caller gave it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/fd.hpp"

namespace img_util {

// The system calls the writer makes, so that tests can make any of them fail. Each entry has
// the signature and errno convention of the call it stands for.
struct FileOps {
  int (*openat)(int dir, const char* name, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* buf, size_t count);
  // The temporary file before the rename, and its directory after it.
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*renameat)(int from_dir, const char* from, int to_dir, const char* to);
  int (*unlinkat)(int dir, const char* name, int flags);
  // faccessat(dir, name, mode, AT_EACCESS): may this process write the existing target?
  int (*accessat)(int dir, const char* name, int mode);
};

// The table in use. Tests replace entries and put the originals back (see FileOpsOverride).
FileOps& file_ops();
// The real system calls.
const FileOps& real_file_ops();

// Restores the table in use when it goes out of scope; for tests.
class FileOpsOverride {
 public:
  FileOpsOverride() : saved_(file_ops()) {}
  ~FileOpsOverride() { file_ops() = saved_; }
  FileOpsOverride(const FileOpsOverride&) = delete;
  FileOpsOverride& operator=(const FileOpsOverride&) = delete;

 private:
  FileOps saved_;
};

// Follows symbolic links from `path` to the file they finally name (which need not exist).
// Relative link texts are taken relative to the link's directory. Throws OSError(ELOOP) after
// 40 links.
std::string resolve_links(const std::string& path);

// Where a writer puts one file: an open directory and a name in it (one path component).
struct FilePlace {
  Fd dir;
  std::string name;
  std::string path;               // the whole path as the user knows it, for messages
  std::string dir_path;           // the directory's path, for messages
  std::optional<timespec> mtime;  // the modification time the written file takes, if given
  // The permission bits the written file takes, if given; else those of the file it replaces,
  // or the usual ones less the umask for a new file.
  std::optional<mode_t> mode;
  // The owner and group a new file takes, if given and the process may give it away; a file
  // replaced keeps its own.
  std::optional<std::pair<uid_t, gid_t>> new_owner;
};

// Opens the directory `root` (following links: it is the configured root, trusted) and then
// each of `below` inside the last one opened, never following a link. With `create`, missing
// directories are made (mode 0777 less the umask), `root` with its parents too. Empty and "."
// components stay where they are. Throws OSError naming the path up to the failing component;
// a symbolic link there is ELOOP.
Fd open_directory_below(const std::string& root, const std::vector<std::string>& below,
                        bool create);

// A temporary name for `name` in the same directory: "." + name + ".tmp-" + 10 characters of
// [0-9a-z], the name cut short (at a character boundary) where the whole would pass the
// 255-byte limit of a file name. The random part keeps it unique.
std::string temp_name_for(const std::string& name);

// A file being written in place of `path`. Bytes go to a temporary file next to the target;
// commit() puts it in the target's place. Destroying an uncommitted AtomicFile removes the
// temporary file and leaves the target alone.
class AtomicFile {
 public:
  // Creates the temporary file. Throws OSError when the target exists and may not be written,
  // is not a regular file, or its directory refuses a new file.
  explicit AtomicFile(std::string path);
  // The same in `place`; throws OSError(ELOOP) when a symbolic link stands at its name.
  explicit AtomicFile(FilePlace place);
  ~AtomicFile();
  AtomicFile(AtomicFile&& other) noexcept;
  AtomicFile& operator=(AtomicFile&&) = delete;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Appends bytes. Throws OSError.
  void write(std::string_view bytes);
  // Flushes, sets the target's permissions and owner, renames over the target and flushes
  // the directory. Throws OSError; the target is unchanged unless only that last flush
  // failed (the message says so).
  void commit();

  const std::string& path() const { return path_; }

 private:
  void open_temporary();
  void discard() noexcept;

  std::string path_;      // as the caller named it, for messages
  std::string dir_path_;  // the target's directory, for messages
  Fd dir_;                // the target's directory
  std::string name_;      // the target's name in dir_
  std::string temp_;      // temporary file in dir_; empty once committed or discarded
  int fd_ = -1;
  bool existed_ = false;
  struct stat old_ {};
  std::optional<timespec> mtime_;
  std::optional<mode_t> mode_;
  std::optional<std::pair<uid_t, gid_t>> new_owner_;
};

// Writes the concatenation of `chunks` to `path` atomically (see above). Typical use: the
// encoded image followed by the processed marker, so a target never lacks its marker.
void write_file_atomically(const std::string& path, std::initializer_list<std::string_view> chunks);
void write_file_atomically(const std::string& path, const std::vector<std::string_view>& chunks);
void write_file_atomically(FilePlace place, std::initializer_list<std::string_view> chunks);

// mkdir -p: creates `dir` and every missing parent (mode 0777 less the umask). An existing
// directory is fine; anything else standing in the way is an OSError naming that path.
void make_directories(const std::string& dir);

}  // namespace img_util
