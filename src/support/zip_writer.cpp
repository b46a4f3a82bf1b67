#include "support/zip_writer.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "img_util/errors.hpp"
#include "support/atomic_file.hpp"
#include "support/files.hpp"
#include "support/zip_repair.hpp"

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
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) throw_errno(path);
  }
  throw OSError(EEXIST, wanted, "no free archive name");
}

std::string dir_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The archives open for writing in this process, by device and inode.
std::mutex g_open_mutex;
std::set<std::pair<dev_t, ino_t>>& open_archives() {
  static std::set<std::pair<dev_t, ino_t>> set;
  return set;
}

}  // namespace

bool ZipWriter::writing(const struct stat& st) {
  std::lock_guard<std::mutex> lock(g_open_mutex);
  return open_archives().count({st.st_dev, st.st_ino}) != 0;
}

void ZipWriter::forget() noexcept {
  std::lock_guard<std::mutex> lock(g_open_mutex);
  open_archives().erase({dev_, ino_});
}

void ZipWriter::ArchiveFree::operator()(struct archive* a) const noexcept { archive_write_free(a); }

ssize_t ZipWriter::write_out(struct archive*, void* self, const void* buf, size_t n) {
  auto& zip = *static_cast<ZipWriter*>(self);
  if (zip.discard_writes_) return static_cast<ssize_t>(n);
  // Through the writer's seam, so that tests can fill the disk.
  const auto* p = static_cast<const char*>(buf);
  for (size_t left = n; left > 0;) {
    const ssize_t w = file_ops().write(zip.fd_.get(), p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      // Reported by the caller, not to libarchive: a libarchive in its fatal state would skip
      // its own close and leak. What it writes from now on goes nowhere.
      zip.write_errno_ = errno;
      zip.discard_writes_ = true;
      return static_cast<ssize_t>(n);
    }
    p += w;
    left -= static_cast<size_t>(w);
    zip.written_ += static_cast<uint64_t>(w);
  }
  return static_cast<ssize_t>(n);
}

ZipWriter::ZipWriter(const std::string& path) : path_(path), fd_(create_exclusive(path_)) {
  archive_.reset(archive_write_new());
  if (!archive_) {
    ::unlink(path_.c_str());
    throw OSError(ENOMEM, path_);
  }
  // Unblocked: libarchive hands every byte to write_out as soon as it has it, so nothing of an
  // entry is held back in a block buffer when the entry is finished.
  if (archive_write_set_format_zip(archive_.get()) != ARCHIVE_OK ||
      archive_write_set_options(archive_.get(), "zip:compression=deflate") != ARCHIVE_OK ||
      archive_write_set_bytes_per_block(archive_.get(), 0) != ARCHIVE_OK ||
      archive_write_open2(archive_.get(), this, nullptr, write_out, nullptr, nullptr) !=
          ARCHIVE_OK) {
    const char* msg = archive_error_string(archive_.get());
    const std::string text = msg ? msg : "cannot start archive";
    discard_writes_ = true;
    archive_.reset();
    ::unlink(path_.c_str());
    throw OSError(EIO, path_, text);
  }
  // The archive's name must outlive a power cut as much as its entries.
  fsync_directory(dir_of(path_));
  struct stat st {};
  if (::fstat(fd_.get(), &st) == 0) {
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    std::lock_guard<std::mutex> lock(g_open_mutex);
    open_archives().insert({dev_, ino_});
  }
}

ZipWriter::~ZipWriter() {
  try {
    close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "img_util: the backup archive could not be completed: %s\n", e.what());
  }
}

void ZipWriter::check(int rc) {
  if (write_errno_ != 0) throw OSError(write_errno_, path_);
  if (rc < ARCHIVE_WARN) fail(path_);
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

  const uint64_t entry_start = written_;
  // Outlives the salvage below: libarchive's deflate stream may still point into it.
  std::vector<char> buf(256 * 1024);
  try {
    check(archive_write_header(archive_.get(), entry.get()));
    while (true) {
      const ssize_t n = ::read(in.get(), buf.data(), buf.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        throw_errno(source);
      }
      if (n == 0) break;
      const la_ssize_t w = archive_write_data(archive_.get(), buf.data(), static_cast<size_t>(n));
      check(w < 0 ? ARCHIVE_FATAL : ARCHIVE_OK);
    }
    // Hands over the rest of the deflate stream and the data descriptor.
    check(archive_write_finish_entry(archive_.get()));
    if (file_ops().fsync(fd_.get()) != 0) throw_errno(path_);
  } catch (...) {
    salvage(entry_start);
    throw;
  }
}

void ZipWriter::salvage(uint64_t keep) noexcept {
  // libarchive still counts the torn entry; it must write nothing more.
  discard_writes_ = true;
  ended_by_error_ = true;
  archive_.reset();
  try {
    if (::ftruncate(fd_.get(), static_cast<off_t>(keep)) != 0) throw_errno(path_);
    if (rebuild_central_directory(fd_.get(), path_).emptied) {
      if (::unlink(path_.c_str()) != 0) throw_errno(path_);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr,
                 "img_util: the backup archive %s was left without its central directory (the "
                 "next run repairs it): %s\n",
                 path_.c_str(), e.what());
  }
  fd_.close();
  forget();
}

void ZipWriter::close() {
  if (!archive_) return;
  const int rc = archive_write_close(archive_.get());
  int err = 0;
  std::string msg;
  if (write_errno_ != 0) {
    err = write_errno_;
    msg = std::string(std::strerror(err)) + " (the next run repairs the archive)";
  } else if (rc != ARCHIVE_OK) {
    err = archive_errno(archive_.get());
    const char* text = archive_error_string(archive_.get());
    msg = std::string(text ? text : "close failed") + " (the next run repairs the archive)";
  } else if (file_ops().fsync(fd_.get()) != 0) {
    err = errno;
    msg = std::strerror(err);
  }
  discard_writes_ = true;
  archive_.reset();
  forget();
  const int close_rc = fd_.close();
  const int close_errno = errno;
  if (!msg.empty()) throw OSError(err > 0 ? err : EIO, path_, msg);
  if (close_rc != 0) throw OSError(close_errno, path_);
}

}  // namespace img_util
