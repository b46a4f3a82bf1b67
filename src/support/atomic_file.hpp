// Replacing a file so that readers see either the old content or the complete new one.
//
// The new content goes to a temporary file in the target's directory, is flushed to disk and
// then renamed over the target. The target keeps its permission bits (and its owner and group
// where the process may set them). A symbolic link is written through: its final target is
// replaced and the link stays a link. Any failure leaves the old file byte for byte as it was
// and removes the temporary file.
//
// Every error is an OSError carrying errno and the target's name as the caller gave it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace img_util {

// The system calls the writer makes, so that tests can make any of them fail. Each entry has
// the signature and errno convention of the call it stands for.
struct FileOps {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* buf, size_t count);
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*rename)(const char* from, const char* to);
  int (*unlink)(const char* path);
  // faccessat(AT_FDCWD, path, mode, AT_EACCESS): may this process write the existing target?
  int (*access)(const char* path, int mode);
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

// A file being written in place of `path`. Bytes go to a temporary file next to the target;
// commit() puts it in the target's place. Destroying an uncommitted AtomicFile removes the
// temporary file and leaves the target alone.
class AtomicFile {
 public:
  // Creates the temporary file. Throws OSError when the target exists and may not be written,
  // is not a regular file, or its directory refuses a new file.
  explicit AtomicFile(std::string path);
  ~AtomicFile();
  AtomicFile(AtomicFile&& other) noexcept;
  AtomicFile& operator=(AtomicFile&&) = delete;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Appends bytes. Throws OSError.
  void write(std::string_view bytes);
  // Flushes, sets the target's permissions and owner, and renames over the target.
  // Throws OSError; the target is then unchanged.
  void commit();

  const std::string& path() const { return path_; }

 private:
  void discard() noexcept;

  std::string path_;    // as the caller named it, for messages
  std::string target_;  // after following links
  std::string temp_;    // temporary file beside target_; empty once committed or discarded
  int fd_ = -1;
  bool existed_ = false;
  struct stat old_{};
};

// Writes the concatenation of `chunks` to `path` atomically (see above). Typical use: the
// encoded image followed by the processed marker, so a target never lacks its marker.
void write_file_atomically(const std::string& path, std::initializer_list<std::string_view> chunks);
void write_file_atomically(const std::string& path, const std::vector<std::string_view>& chunks);

// mkdir -p: creates `dir` and every missing parent (mode 0777 less the umask). An existing
// directory is fine; anything else standing in the way is an OSError naming that path.
void make_directories(const std::string& dir);

}  // namespace img_util
