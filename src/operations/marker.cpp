#include "operations/marker.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "img_util/errors.hpp"
#include "support/fd.hpp"

namespace img_util {

std::string_view marker_for(const Value& cfg) {
  return num_eq(cfg.at("maskmode"), 1) ? kMarkerCompressed : kMarkerWatermarked;
}

std::string read_marker(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw_errno(path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw_errno(path);
  off_t size = st.st_size;
  off_t from = size > static_cast<off_t>(kMarkerSize) ? size - static_cast<off_t>(kMarkerSize) : 0;
  std::string tail(kMarkerSize, '\0');
  size_t got = 0;
  while (got < tail.size()) {
    ssize_t n =
        ::pread(fd.get(), tail.data() + got, tail.size() - got, from + static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno(path);
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  tail.resize(got);
  return tail;
}

}  // namespace img_util
