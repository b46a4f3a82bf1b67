#include "support/atomic_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string_view>
#include <utility>

#include "img_util/errors.hpp"

namespace img_util {

namespace {

int sys_openat(int dir, const char* name, int flags, mode_t mode) {
  return ::openat(dir, name, flags, mode);
}
ssize_t sys_write(int fd, const void* buf, size_t count) { return ::write(fd, buf, count); }
int sys_fsync(int fd) { return ::fsync(fd); }
int sys_close(int fd) { return ::close(fd); }
int sys_renameat(int from_dir, const char* from, int to_dir, const char* to) {
  return ::renameat(from_dir, from, to_dir, to);
}
int sys_unlinkat(int dir, const char* name, int flags) { return ::unlinkat(dir, name, flags); }
int sys_accessat(int dir, const char* name, int mode) {
  return ::faccessat(dir, name, mode, AT_EACCESS);
}

constexpr FileOps kRealOps{sys_openat,   sys_write,    sys_fsync,   sys_close,
                           sys_renameat, sys_unlinkat, sys_accessat};

FileOps g_ops = kRealOps;

// The longest file name the usual file systems take, in bytes.
constexpr size_t kNameMax = 255;

std::string dir_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string join(const std::string& dir, const std::string& name) {
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

Fd open_directory(const std::string& path) {
  return Fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// The target's folder, opened for the path form (links followed, as that form promises).
Fd open_folder_of(const std::string& dir, const std::string& path_for_messages) {
  Fd fd = open_directory(dir);
  if (fd.get() < 0) {
    const int err = errno;
    throw OSError(err, path_for_messages,
                  std::string(std::strerror(err)) + " (opening its folder " + dir + ")");
  }
  return fd;
}

}  // namespace

FileOps& file_ops() { return g_ops; }
const FileOps& real_file_ops() { return kRealOps; }

std::string resolve_links(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    ssize_t n = ::readlink(current.c_str(), link.data(), link.size());
    if (n < 0) throw_errno(path);
    link.resize(static_cast<size_t>(n));
    if (link.empty() || link.front() == '/' || current.find('/') == std::string::npos) {
      current = link;
    } else {
      current = dir_of(current) + (dir_of(current) == "/" ? "" : "/") + link;
    }
  }
  throw OSError(ELOOP, path);
}

Fd open_directory_below(const std::string& root, const std::vector<std::string>& below,
                        bool create) {
  Fd dir = open_directory(root);
  if (dir.get() < 0) {
    if (errno != ENOENT || !create) throw_errno(root);
    make_directories(root);
    dir = open_directory(root);
    if (dir.get() < 0) throw_errno(root);
  }
  std::string path = root;
  for (const std::string& name : below) {
    if (name.empty()) continue;
    path = join(path, name);
    // Climbing is the caller's to refuse with a better message; this is the last guard.
    if (name == ".." || name.find('/') != std::string::npos)
      throw OSError(EINVAL, path, "Not a single step down");
    if (create && ::mkdirat(dir.get(), name.c_str(), 0777) != 0 && errno != EEXIST)
      throw_errno(path);
    Fd sub(::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub.get() < 0) {
      const int err = errno;
      // O_NOFOLLOW with O_DIRECTORY says ENOTDIR for a link; name the real reason.
      struct stat st {};
      if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        throw OSError(ELOOP, path, "Symbolic link not followed");
      throw OSError(err, path);
    }
    dir = std::move(sub);
  }
  return dir;
}

std::string temp_name_for(const std::string& name) {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  static constexpr std::string_view kTmp = ".tmp-";
  std::string suffix(10, '0');
  for (char& c : suffix) c = kDigits[rng() % 36];
  std::string base = name;
  const size_t room = kNameMax - 1 - kTmp.size() - suffix.size();
  if (base.size() > room) {
    // Cut before a UTF-8 continuation byte, so the name stays readable text.
    size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80) --cut;
    base.resize(cut);
  }
  return "." + base + std::string(kTmp) + suffix;
}

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
  const std::string target = resolve_links(path_);
  dir_path_ = dir_of(target);
  dir_ = open_folder_of(dir_path_, path_);
  name_ = base_of(target);
  open_temporary();
}

AtomicFile::AtomicFile(FilePlace place)
    : path_(std::move(place.path)),
      dir_path_(std::move(place.dir_path)),
      dir_(std::move(place.dir)),
      name_(std::move(place.name)),
      mtime_(place.mtime),
      mode_(place.mode),
      new_owner_(place.new_owner) {
  open_temporary();
}

void AtomicFile::open_temporary() {
  if (::fstatat(dir_.get(), name_.c_str(), &old_, AT_SYMLINK_NOFOLLOW) == 0) {
    existed_ = true;
    // Only the path form follows links, before it gets here; a link now was put there since.
    if (S_ISLNK(old_.st_mode)) throw OSError(ELOOP, path_, "Symbolic link not replaced");
    if (S_ISDIR(old_.st_mode)) throw OSError(EISDIR, path_);
    if (!S_ISREG(old_.st_mode)) throw OSError(EINVAL, path_, "Not a regular file");
    // Rename would happily replace a file we may not write; refuse as a plain write would.
    if (file_ops().accessat(dir_.get(), name_.c_str(), W_OK) != 0) throw_errno(path_);
  } else if (errno != ENOENT) {
    throw_errno(path_);
  }
  for (int tries = 0; tries < 100; ++tries) {
    std::string temp = temp_name_for(name_);
    // A new target gets the usual permissions less the umask. Replacing, or with bits given,
    // the temporary file stays private until commit() gives it its bits, so a file only its
    // owner could read is never readable by others, not even for a moment.
    int fd = file_ops().openat(dir_.get(), temp.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                               existed_ || mode_ ? 0600 : 0666);
    if (fd >= 0) {
      fd_ = fd;
      temp_ = std::move(temp);
      return;
    }
    if (errno != EEXIST) {
      // The file itself may be writable while its folder is not; say which one refused.
      const int err = errno;
      throw OSError(
          err, path_,
          std::string(std::strerror(err)) + " (creating a temporary file in " + dir_path_ + ")");
    }
  }
  throw OSError(EEXIST, path_);
}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : path_(std::move(other.path_)),
      dir_path_(std::move(other.dir_path_)),
      dir_(std::move(other.dir_)),
      name_(std::move(other.name_)),
      temp_(std::move(other.temp_)),
      fd_(other.fd_),
      existed_(other.existed_),
      old_(other.old_),
      mtime_(other.mtime_),
      mode_(other.mode_),
      new_owner_(other.new_owner_) {
  other.fd_ = -1;
  other.temp_.clear();
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() noexcept {
  if (fd_ >= 0) file_ops().close(fd_);
  fd_ = -1;
  if (!temp_.empty()) file_ops().unlinkat(dir_.get(), temp_.c_str(), 0);
  temp_.clear();
}

void AtomicFile::write(std::string_view bytes) {
  if (fd_ < 0) throw OSError(EBADF, path_);
  while (!bytes.empty()) {
    ssize_t n = file_ops().write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      discard();
      throw OSError(err, path_);
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void AtomicFile::commit() {
  if (fd_ < 0) throw OSError(EBADF, path_);
  auto fail = [this](int err) {
    discard();
    throw OSError(err, path_);
  };
  if (existed_) {
    // Owner first: a change of owner clears the set-id bits that fchmod then restores. Only
    // root may give a file away; others keep what they can (the group, if a member).
    if (::fchown(fd_, old_.st_uid, old_.st_gid) != 0)
      (void)::fchown(fd_, static_cast<uid_t>(-1), old_.st_gid);
  } else if (new_owner_) {
    // Only root may give a file away; anyone else's new file stays theirs, as with a plain write.
    (void)::fchown(fd_, new_owner_->first, new_owner_->second);
  }
  if (mode_ || existed_) {
    if (::fchmod(fd_, mode_ ? *mode_ : old_.st_mode & 07777) != 0) fail(errno);
  }
  if (mtime_) {
    const timespec times[2] = {{0, UTIME_OMIT}, *mtime_};
    if (::futimens(fd_, times) != 0) fail(errno);
  }
  if (file_ops().fsync(fd_) != 0) fail(errno);
  int fd = fd_;
  fd_ = -1;
  if (file_ops().close(fd) != 0) fail(errno);
  if (file_ops().renameat(dir_.get(), temp_.c_str(), dir_.get(), name_.c_str()) != 0) fail(errno);
  temp_.clear();
  // The rename lives in the directory: until that is on disk a power cut may bring back the
  // old name's entry, or none.
  if (file_ops().fsync(dir_.get()) != 0) {
    const int err = errno;
    throw OSError(err, path_,
                  std::string(std::strerror(err)) +
                      " (flushing its folder after the new content took its place)");
  }
}

void write_file_atomically(const std::string& path, const std::vector<std::string_view>& chunks) {
  AtomicFile file(path);
  for (std::string_view chunk : chunks) file.write(chunk);
  file.commit();
}

void write_file_atomically(const std::string& path,
                           std::initializer_list<std::string_view> chunks) {
  write_file_atomically(path, std::vector<std::string_view>(chunks));
}

void write_file_atomically(FilePlace place, std::initializer_list<std::string_view> chunks) {
  AtomicFile file(std::move(place));
  for (std::string_view chunk : chunks) file.write(chunk);
  file.commit();
}

void make_directories(const std::string& dir) {
  if (dir.empty()) return;
  if (::mkdir(dir.c_str(), 0777) == 0) return;
  int err = errno;
  struct stat st {};
  if (err == EEXIST) {
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
    throw OSError(EEXIST, dir);
  }
  if (err != ENOENT) throw OSError(err, dir);
  std::string parent = dir;
  while (!parent.empty() && parent.back() == '/') parent.pop_back();
  auto slash = parent.rfind('/');
  if (slash == std::string::npos || slash == 0) throw OSError(err, dir);
  make_directories(parent.substr(0, slash));
  if (::mkdir(dir.c_str(), 0777) == 0) return;
  err = errno;
  if (err == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
  throw OSError(err, dir);
}

}  // namespace img_util
