#include "support/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "img_util/errors.hpp"
#include "support/fd.hpp"

namespace img_util {

int64_t file_size(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw_errno(path);
  return static_cast<int64_t>(st.st_size);
}

std::string read_whole_file(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw_errno(path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw_errno(path);
  if (S_ISDIR(st.st_mode)) throw OSError(EISDIR, path);
  std::string data;
  if (S_ISREG(st.st_mode) && st.st_size > 0) data.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno(path);
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

}  // namespace img_util
