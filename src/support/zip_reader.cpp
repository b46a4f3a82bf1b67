#include "support/zip_reader.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "img_util/errors.hpp"
#include "support/zip_repair.hpp"

namespace img_util {

void ZipReader::ArchiveFree::operator()(struct archive* a) const noexcept { archive_read_free(a); }

ZipReader::ZipReader(const std::string& path)
    : path_(path), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), buf_(256 * 1024) {
  if (fd_.get() < 0) throw_errno(path_);
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) throw_errno(path_);
  if (S_ISDIR(st.st_mode)) throw OSError(EISDIR, path_);
  complete_ = zip_is_complete(fd_.get(), path_);
  archive_.reset(archive_read_new());
  if (!archive_) throw OSError(ENOMEM, path_);
  // Both zip readers: the one that reads the central directory wins when there is one.
  if (archive_read_support_format_zip(archive_.get()) != ARCHIVE_OK ||
      archive_read_open_fd(archive_.get(), fd_.get(), 64 * 1024) != ARCHIVE_OK)
    fail("");
}

void ZipReader::fail(const std::string& what) {
  const int err = archive_errno(archive_.get());
  const char* msg = archive_error_string(archive_.get());
  std::string text = msg ? msg : "cannot read the archive";
  if (!what.empty()) text += " (" + what + ")";
  throw OSError(err > 0 ? err : EIO, path_, text);
}

bool ZipReader::next(ZipEntryInfo& entry) {
  archive_entry* e = nullptr;
  const int rc = archive_read_next_header(archive_.get(), &e);
  if (rc == ARCHIVE_EOF) return false;
  // A warning is a name that does not convert to the locale: the raw bytes still come.
  if (rc < ARCHIVE_WARN) fail("reading the entry after " + (entry_.empty() ? "none" : entry_));

  const char* name = archive_entry_pathname(e);
  if (name == nullptr) name = archive_entry_pathname_utf8(e);
  entry.name = name ? name : "";
  entry_ = entry.name;
  entry.type = archive_entry_filetype(e);
  if (entry.type == 0) entry.type = S_IFREG;
  // Only the central directory holds them; without it the reader makes some up.
  entry.perm = complete_ ? std::optional<mode_t>(archive_entry_perm(e)) : std::nullopt;
  entry.mtime = std::nullopt;
  if (archive_entry_mtime_is_set(e))
    entry.mtime = timespec{static_cast<time_t>(archive_entry_mtime(e)),
                           static_cast<long>(archive_entry_mtime_nsec(e))};
  entry.uid = static_cast<uid_t>(archive_entry_uid(e));
  entry.gid = static_cast<gid_t>(archive_entry_gid(e));
  entry.size = archive_entry_size_is_set(e) ? archive_entry_size(e) : -1;
  return true;
}

std::string_view ZipReader::read() {
  const la_ssize_t n = archive_read_data(archive_.get(), buf_.data(), buf_.size());
  if (n < 0) fail("entry " + entry_);
  return {buf_.data(), static_cast<size_t>(n)};
}

}  // namespace img_util
