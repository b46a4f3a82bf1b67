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

OpenFile::OpenFile(const std::string& path)
    : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), path_(path) {
  if (fd_.get() < 0) throw_errno(path);
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) throw_errno(path);
  if (S_ISDIR(st.st_mode)) throw OSError(EISDIR, path);
  if (S_ISREG(st.st_mode)) size_ = static_cast<uint64_t>(st.st_size);
}

std::string OpenFile::read_all() {
  std::string data;
  data.reserve(static_cast<size_t>(size_));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd_.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno(path_);
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

std::string read_whole_file(const std::string& path) { return OpenFile(path).read_all(); }

void write_whole_file(const std::string& path, std::string_view bytes) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) throw_errno(path);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno(path);
    }
    done += static_cast<size_t>(n);
  }
  if (fd.close() != 0) throw_errno(path);
}

void fsync_directory(const std::string& dir) {
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0 || ::fsync(fd.get()) != 0) throw_errno(dir);
}

}  // namespace img_util
