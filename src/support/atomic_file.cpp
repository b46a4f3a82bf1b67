#include "support/atomic_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "img_util/errors.hpp"

namespace img_util {

namespace {

int sys_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
ssize_t sys_write(int fd, const void* buf, size_t count) { return ::write(fd, buf, count); }
int sys_fsync(int fd) { return ::fsync(fd); }
int sys_close(int fd) { return ::close(fd); }
int sys_rename(const char* from, const char* to) { return ::rename(from, to); }
int sys_unlink(const char* path) { return ::unlink(path); }
int sys_access(const char* path, int mode) { return ::faccessat(AT_FDCWD, path, mode, AT_EACCESS); }

constexpr FileOps kRealOps{sys_open, sys_write, sys_fsync, sys_close, sys_rename, sys_unlink,
                           sys_access};

FileOps g_ops = kRealOps;

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

// A name no other writer picks: hidden, beside the target, with a random suffix.
std::string temp_name_for(const std::string& target) {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string suffix(10, '0');
  for (char& c : suffix) c = kDigits[rng() % 36];
  std::string dir = target.find('/') == std::string::npos ? "" : dir_of(target);
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir + "." + base_of(target) + ".tmp-" + suffix;
}

}  // namespace

FileOps& file_ops() { return g_ops; }
const FileOps& real_file_ops() { return kRealOps; }

std::string resolve_links(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st{};
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

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
  target_ = resolve_links(path_);
  if (::stat(target_.c_str(), &old_) == 0) {
    existed_ = true;
    if (S_ISDIR(old_.st_mode)) throw OSError(EISDIR, path_);
    if (!S_ISREG(old_.st_mode)) throw OSError(EINVAL, path_, "Not a regular file");
    // Rename would happily replace a file we may not write; refuse as a plain write would.
    if (file_ops().access(target_.c_str(), W_OK) != 0) throw_errno(path_);
  } else if (errno != ENOENT) {
    throw_errno(path_);
  }
  for (int tries = 0; tries < 100; ++tries) {
    std::string temp = temp_name_for(target_);
    // A new target gets the usual permissions less the umask. Replacing, the temporary file
    // stays private until commit() gives it the old file's bits, so a file only its owner
    // could read is never readable by others, not even for a moment.
    int fd = file_ops().open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                             existed_ ? 0600 : 0666);
    if (fd >= 0) {
      fd_ = fd;
      temp_ = std::move(temp);
      return;
    }
    if (errno != EEXIST) {
      // The file itself may be writable while its folder is not; say which one refused.
      const int err = errno;
      throw OSError(err, path_,
                    std::string(std::strerror(err)) + " (creating a temporary file in " +
                        (temp.find('/') == std::string::npos ? "." : dir_of(temp)) + ")");
    }
  }
  throw OSError(EEXIST, path_);
}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : path_(std::move(other.path_)),
      target_(std::move(other.target_)),
      temp_(std::move(other.temp_)),
      fd_(other.fd_),
      existed_(other.existed_),
      old_(other.old_) {
  other.fd_ = -1;
  other.temp_.clear();
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() noexcept {
  if (fd_ >= 0) file_ops().close(fd_);
  fd_ = -1;
  if (!temp_.empty()) file_ops().unlink(temp_.c_str());
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
    if (::fchown(fd_, old_.st_uid, old_.st_gid) != 0) (void)::fchown(fd_, static_cast<uid_t>(-1), old_.st_gid);
    if (::fchmod(fd_, old_.st_mode & 07777) != 0) fail(errno);
  }
  if (file_ops().fsync(fd_) != 0) fail(errno);
  int fd = fd_;
  fd_ = -1;
  if (file_ops().close(fd) != 0) fail(errno);
  if (file_ops().rename(temp_.c_str(), target_.c_str()) != 0) fail(errno);
  temp_.clear();
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

void make_directories(const std::string& dir) {
  if (dir.empty()) return;
  if (::mkdir(dir.c_str(), 0777) == 0) return;
  int err = errno;
  struct stat st{};
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
