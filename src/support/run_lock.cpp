#include "support/run_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "img_util/errors.hpp"

namespace img_util {

namespace {
int open_lock_file(const std::string& path) {
  return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
}
}  // namespace

RunLock::RunLock(const std::string& dir) {
  const std::string path = (dir.empty() || dir.back() == '/' ? dir : dir + "/") + kFileName;
  fd_ = open_lock_file(path);
  if (fd_ < 0 && errno == ENOENT) {
    // The run creates its scratch directory inside the plugin directory anyway.
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) throw OSError(ec.value(), dir);
    fd_ = open_lock_file(path);
  }
  if (fd_ < 0) throw_errno(path);
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd_);
    fd_ = -1;
    if (err == EWOULDBLOCK) throw OSError(EBUSY, path, "another run is using " + dir);
    throw OSError(err, path);
  }
}

RunLock::~RunLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace img_util
