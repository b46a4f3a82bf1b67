// TEMPORARY (gif helper): see gif_write_stub.hpp.
#include "support/gif_write_stub.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "img_util/errors.hpp"

namespace img_util::support::gif_stub {

void write_chunks_atomically(const std::string& path,
                             std::initializer_list<std::string_view> chunks) {
  std::string target = path;
  char resolved[PATH_MAX];
  struct stat st {};
  bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists && ::realpath(path.c_str(), resolved)) target = resolved;
  std::string dir = ".";
  if (auto slash = target.rfind('/'); slash != std::string::npos)
    dir = slash == 0 ? "/" : target.substr(0, slash);
  std::string tmpl = dir + "/.img_util_tmp_XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  int fd = ::mkstemp(buf.data());
  if (fd < 0) throw_errno(path);
  std::string tmp = buf.data();
  auto fail = [&](int err) {
    ::close(fd);
    ::unlink(tmp.c_str());
    errno = err;
    throw_errno(path);
  };
  for (std::string_view c : chunks) {
    const char* p = c.data();
    size_t left = c.size();
    while (left > 0) {
      ssize_t n = ::write(fd, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        fail(errno);
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
  }
  mode_t perms = 0666;
  if (exists) {
    perms = st.st_mode & 07777;
  } else {
    mode_t um = ::umask(0);
    ::umask(um);
    perms &= ~um;
  }
  if (::fchmod(fd, perms) != 0) fail(errno);
  if (::fsync(fd) != 0) fail(errno);
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    errno = err;
    throw_errno(path);
  }
  if (::rename(tmp.c_str(), target.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    errno = err;
    throw_errno(path);
  }
}

}  // namespace img_util::support::gif_stub
