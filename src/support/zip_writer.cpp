#include "support/zip_writer.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "img_util/errors.hpp"
#include "support/fd.hpp"

namespace img_util {

namespace {

struct EntryFree {
  void operator()(archive_entry* e) const noexcept { archive_entry_free(e); }
};


// Opens `path` exclusively, or the first free "<stem>-N<ext>" beside it.
int create_exclusive(std::string& path) {
  const std::string wanted = path;
  const size_t slash = wanted.rfind('/');
  const size_t dot = wanted.rfind('.');
  const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::string stem = has_ext ? wanted.substr(0, dot) : wanted;
  const std::string ext = has_ext ? wanted.substr(dot) : "";
  for (int n = 0; n < 10000; ++n) {
    path = n == 0 ? wanted : stem + "-" + std::to_string(n) + ext;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) throw_errno(path);
  }
  throw OSError(EEXIST, wanted, "no free archive name");
}

}  // namespace

void ZipWriter::ArchiveFree::operator()(struct archive* a) const noexcept { archive_write_free(a); }

ZipWriter::ZipWriter(const std::string& path) : path_(path) {
  fd_ = create_exclusive(path_);
  archive_.reset(archive_write_new());
  if (!archive_) {
    ::close(fd_);
    throw OSError(ENOMEM, path_);
  }
  if (archive_write_set_format_zip(archive_.get()) != ARCHIVE_OK ||
      archive_write_set_options(archive_.get(), "zip:compression=deflate") != ARCHIVE_OK ||
      // Write whole blocks of what we give, no padding to a tape block size.
      archive_write_set_bytes_in_last_block(archive_.get(), 1) != ARCHIVE_OK ||
      archive_write_open_fd(archive_.get(), fd_) != ARCHIVE_OK) {
    const std::string msg = archive_error_string(archive_.get()) ? archive_error_string(archive_.get())
                                                                 : "cannot start archive";
    archive_.reset();
    ::close(fd_);
    fd_ = -1;
    throw OSError(EIO, path_, msg);
  }
}

ZipWriter::~ZipWriter() {
  try {
    close();
  } catch (...) {
    // Nothing more can be done for the archive from a destructor.
  }
}

void ZipWriter::fail(const std::string& filename) {
  const int err = archive_errno(archive_.get());
  const char* msg = archive_error_string(archive_.get());
  throw OSError(err > 0 ? err : EIO, filename, msg ? msg : "archive write failed");
}

void ZipWriter::add_file(const std::string& source, const std::string& entry_name) {
  if (!archive_) throw ValueError("Attempt to write to ZIP archive that was already closed");
  // Non-blocking so that a FIFO cannot stall the run; regular files ignore the flag.
  Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (in.get() < 0) throw_errno(source);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) throw_errno(source);
  if (S_ISDIR(st.st_mode)) throw OSError(EISDIR, source);
  if (!S_ISREG(st.st_mode)) throw OSError(EINVAL, source, "Not a regular file");

  std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
  if (!entry) throw OSError(ENOMEM, source);
  archive_entry_copy_pathname(entry.get(), entry_name.c_str());
  archive_entry_set_filetype(entry.get(), AE_IFREG);
  archive_entry_set_perm(entry.get(), st.st_mode & 07777);
  archive_entry_set_size(entry.get(), st.st_size);
  archive_entry_set_mtime(entry.get(), st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  if (archive_write_header(archive_.get(), entry.get()) < ARCHIVE_WARN) fail(path_);

  std::vector<char> buf(256 * 1024);
  while (true) {
    const ssize_t n = ::read(in.get(), buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno(source);
    }
    if (n == 0) break;
    if (archive_write_data(archive_.get(), buf.data(), static_cast<size_t>(n)) < 0) fail(path_);
  }
  if (archive_write_finish_entry(archive_.get()) < ARCHIVE_WARN) fail(path_);
}

void ZipWriter::close() {
  if (!archive_) return;
  const int rc = archive_write_close(archive_.get());
  std::string msg;
  int err = 0;
  if (rc != ARCHIVE_OK) {
    err = archive_errno(archive_.get());
    msg = archive_error_string(archive_.get()) ? archive_error_string(archive_.get()) : "close failed";
  }
  archive_.reset();
  const int close_rc = ::close(fd_);
  const int close_errno = errno;
  fd_ = -1;
  if (rc != ARCHIVE_OK) throw OSError(err > 0 ? err : EIO, path_, msg);
  if (close_rc != 0) throw OSError(close_errno, path_);
}

}  // namespace img_util
