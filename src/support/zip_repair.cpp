#include "support/zip_repair.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>

#include "img_util/errors.hpp"
#include "support/fd.hpp"

namespace img_util {

namespace {

constexpr uint32_t kLocalSig = 0x04034b50;
constexpr uint32_t kDescriptorSig = 0x08074b50;
constexpr uint32_t kCentralSig = 0x02014b50;
constexpr uint32_t kEndSig = 0x06054b50;
constexpr uint32_t kZip64EndSig = 0x06064b50;
constexpr uint32_t kZip64LocatorSig = 0x07064b50;
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint64_t k32Max = 0xffffffffu;
constexpr uint16_t kFlagEncrypted = 1 << 0;
constexpr uint16_t kFlagDescriptor = 1 << 3;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kEndSize = 22;

uint16_t get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t get32(const unsigned char* p) {
  return static_cast<uint32_t>(get16(p)) | static_cast<uint32_t>(get16(p + 2)) << 16;
}
uint64_t get64(const unsigned char* p) {
  return static_cast<uint64_t>(get32(p)) | static_cast<uint64_t>(get32(p + 4)) << 32;
}

void put16(std::string& out, uint64_t v) {
  out += static_cast<char>(v & 0xff);
  out += static_cast<char>(v >> 8 & 0xff);
}
void put32(std::string& out, uint64_t v) {
  put16(out, v & 0xffff);
  put16(out, v >> 16 & 0xffff);
}
void put64(std::string& out, uint64_t v) {
  put32(out, v & k32Max);
  put32(out, v >> 32);
}

// Reads up to `n` bytes at `offset`; fewer only at the end of the file.
size_t read_at(int fd, const std::string& path, void* buf, size_t n, uint64_t offset) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r =
        ::pread(fd, static_cast<char*>(buf) + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0) {
      if (errno == EINTR) continue;
      throw_errno(path);
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

void write_at(int fd, const std::string& path, std::string_view data, uint64_t offset) {
  while (!data.empty()) {
    const ssize_t w = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
    if (w < 0) {
      if (errno == EINTR) continue;
      throw_errno(path);
    }
    data.remove_prefix(static_cast<size_t>(w));
    offset += static_cast<uint64_t>(w);
  }
}

uint64_t file_size_of(int fd, const std::string& path) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw_errno(path);
  return static_cast<uint64_t>(st.st_size);
}

struct InflateEnd {
  void operator()(z_stream* z) const noexcept {
    inflateEnd(z);
    delete z;
  }
};

// What the data of one entry turned out to be.
struct DataExtent {
  uint64_t compressed = 0;
  uint64_t uncompressed = 0;
  uint32_t crc = 0;
};

// Inflates the raw deflate stream at `offset` to its end. Nothing when the stream is cut short
// or broken.
std::optional<DataExtent> inflate_extent(int fd, const std::string& path, uint64_t offset) {
  std::unique_ptr<z_stream, InflateEnd> z(new z_stream{});
  if (inflateInit2(z.get(), -MAX_WBITS) != Z_OK) {
    z.reset();
    throw OSError(ENOMEM, path, "cannot start inflating");
  }
  std::vector<unsigned char> in(256 * 1024), out(256 * 1024);
  DataExtent ext;
  uint64_t read_pos = offset;
  while (true) {
    const size_t n = read_at(fd, path, in.data(), in.size(), read_pos);
    if (n == 0) return std::nullopt;
    read_pos += n;
    z->next_in = in.data();
    z->avail_in = static_cast<uInt>(n);
    while (z->avail_in > 0) {
      z->next_out = out.data();
      z->avail_out = static_cast<uInt>(out.size());
      const int rc = inflate(z.get(), Z_NO_FLUSH);
      const size_t produced = out.size() - z->avail_out;
      ext.crc = static_cast<uint32_t>(crc32_z(ext.crc, out.data(), produced));
      ext.uncompressed += produced;
      if (rc == Z_STREAM_END) {
        ext.compressed = z->total_in;
        return ext;
      }
      if (rc != Z_OK && rc != Z_BUF_ERROR) return std::nullopt;
      if (rc == Z_BUF_ERROR && produced == 0) break;  // needs more input
    }
  }
}

std::optional<DataExtent> stored_extent(int fd, const std::string& path, uint64_t offset,
                                        uint64_t size, uint64_t file_size) {
  if (offset > file_size || file_size - offset < size) return std::nullopt;
  std::vector<unsigned char> buf(256 * 1024);
  DataExtent ext{size, size, 0};
  for (uint64_t done = 0; done < size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - done));
    if (read_at(fd, path, buf.data(), want, offset + done) != want) return std::nullopt;
    ext.crc = static_cast<uint32_t>(crc32_z(ext.crc, buf.data(), want));
    done += want;
  }
  return ext;
}

// The end of a data descriptor at `offset` that agrees with `ext`, or nothing. A descriptor has
// an optional signature, the CRC and two sizes of 4 bytes, or of 8 bytes for a Zip64 entry.
std::optional<uint64_t> descriptor_end(int fd, const std::string& path, uint64_t offset,
                                       const DataExtent& ext, bool zip64) {
  unsigned char d[24];
  const size_t n = read_at(fd, path, d, sizeof d, offset);
  const size_t skip = n >= 4 && get32(d) == kDescriptorSig ? 4 : 0;
  const size_t widths[2] = {zip64 ? 8u : 4u, zip64 ? 4u : 8u};
  for (const size_t width : widths) {
    const size_t len = skip + 4 + 2 * width;
    if (n < len || get32(d + skip) != ext.crc) continue;
    const unsigned char* sizes = d + skip + 4;
    const uint64_t c = width == 8 ? get64(sizes) : get32(sizes);
    const uint64_t u = width == 8 ? get64(sizes + 8) : get32(sizes + 4);
    if (c == ext.compressed && u == ext.uncompressed) return offset + len;
  }
  return std::nullopt;
}

// The whole entry whose local header is at `offset`, and where it ends; nothing when there is
// no entry there or it is not whole.
std::optional<ZipEntryRecord> read_entry(int fd, const std::string& path, uint64_t offset,
                                         uint64_t file_size, uint64_t& end) {
  unsigned char h[kLocalHeaderSize];
  if (read_at(fd, path, h, sizeof h, offset) != sizeof h || get32(h) != kLocalSig)
    return std::nullopt;
  ZipEntryRecord e;
  e.offset = offset;
  e.version_needed = get16(h + 4);
  e.flags = get16(h + 6);
  e.method = get16(h + 8);
  e.dos_time = get16(h + 10);
  e.dos_date = get16(h + 12);
  const uint32_t header_crc = get32(h + 14);
  uint64_t header_csize = get32(h + 18);
  uint64_t header_usize = get32(h + 22);
  const size_t name_len = get16(h + 26);
  const size_t extra_len = get16(h + 28);
  if (e.flags & kFlagEncrypted) return std::nullopt;

  std::string var(name_len + extra_len, '\0');
  if (read_at(fd, path, var.data(), var.size(), offset + sizeof h) != var.size())
    return std::nullopt;
  e.name = var.substr(0, name_len);
  bool zip64 = false;
  const auto* x = reinterpret_cast<const unsigned char*>(var.data()) + name_len;
  for (size_t i = 0; i + 4 <= extra_len;) {
    const uint16_t id = get16(x + i);
    const size_t len = get16(x + i + 2);
    if (i + 4 + len > extra_len) break;
    if (id == kZip64ExtraId) {
      zip64 = true;
      // The local Zip64 field holds both sizes, uncompressed first.
      if (len >= 16) {
        header_usize = get64(x + i + 4);
        header_csize = get64(x + i + 12);
      }
    } else {
      e.extra.append(reinterpret_cast<const char*>(x + i), 4 + len);
    }
    i += 4 + len;
  }

  const uint64_t data = offset + sizeof h + var.size();
  const bool streamed = e.flags & kFlagDescriptor;
  std::optional<DataExtent> ext;
  if (e.method == 8)
    ext = inflate_extent(fd, path, data);
  else if (e.method == 0 && !streamed)
    ext = stored_extent(fd, path, data, header_csize, file_size);
  if (!ext) return std::nullopt;  // cut short, or a stored stream whose end is unknown

  end = data + ext->compressed;
  if (streamed) {
    const auto d_end = descriptor_end(fd, path, end, *ext, zip64);
    if (!d_end) return std::nullopt;
    end = *d_end;
  } else if (ext->crc != header_crc || ext->compressed != header_csize ||
             ext->uncompressed != header_usize) {
    return std::nullopt;
  }
  if (end > file_size) return std::nullopt;
  e.crc = ext->crc;
  e.compressed_size = ext->compressed;
  e.uncompressed_size = ext->uncompressed;
  return e;
}

}  // namespace

bool zip_is_complete(int fd, const std::string& path) {
  const uint64_t size = file_size_of(fd, path);
  if (size < kEndSize) return false;
  // The record is followed only by its comment (at most 65,535 bytes).
  const uint64_t span = std::min<uint64_t>(size, kEndSize + 0xffff);
  std::string tail(static_cast<size_t>(span), '\0');
  if (read_at(fd, path, tail.data(), tail.size(), size - span) != tail.size()) return false;
  const auto* t = reinterpret_cast<const unsigned char*>(tail.data());
  for (size_t i = tail.size() - kEndSize + 1; i-- > 0;) {
    if (get32(t + i) != kEndSig) continue;
    const uint64_t at = size - span + i;
    if (i + kEndSize + get16(t + i + 20) != tail.size()) continue;
    const uint64_t cd_size = get32(t + i + 12);
    const uint64_t cd_offset = get32(t + i + 16);
    if (cd_size == k32Max || cd_offset == k32Max || get16(t + i + 10) == 0xffff) {
      // Zip64: the locator sits right before the record.
      return i >= 20 && get32(t + i - 20) == kZip64LocatorSig;
    }
    if (cd_offset + cd_size != at) continue;
    if (cd_size == 0) return true;  // an archive without entries
    unsigned char sig[4];
    return read_at(fd, path, sig, 4, cd_offset) == 4 && get32(sig) == kCentralSig;
  }
  return false;
}

namespace {

// One entry's central directory header, with a Zip64 extra field for what does not fit 32 bits.
void put_central_header(std::string& out, const ZipEntryRecord& e) {
  std::string zip64;
  if (e.uncompressed_size >= k32Max) put64(zip64, e.uncompressed_size);
  if (e.compressed_size >= k32Max) put64(zip64, e.compressed_size);
  if (e.offset >= k32Max) put64(zip64, e.offset);
  std::string extra = e.extra;
  if (!zip64.empty()) {
    put16(extra, kZip64ExtraId);
    put16(extra, zip64.size());
    extra += zip64;
  }
  const uint16_t needed =
      zip64.empty() ? e.version_needed : std::max<uint16_t>(e.version_needed, 45);
  put32(out, kCentralSig);
  put16(out, 3u << 8 | std::max<uint16_t>(needed, 20));  // made by: Unix
  put16(out, needed);
  put16(out, e.flags);
  put16(out, e.method);
  put16(out, e.dos_time);
  put16(out, e.dos_date);
  put32(out, e.crc);
  put32(out, std::min(e.compressed_size, k32Max));
  put32(out, std::min(e.uncompressed_size, k32Max));
  put16(out, e.name.size());
  put16(out, extra.size());
  put16(out, 0);  // comment length
  put16(out, 0);  // disk
  put16(out, 0);  // internal attributes
  put32(out, static_cast<uint64_t>(S_IFREG | 0644) << 16);
  put32(out, std::min(e.offset, k32Max));
  out += e.name;
  out += extra;
}

// The end records after a central directory of `count` entries and `cd_size` bytes at
// `offset`: the Zip64 record and locator when a count or offset does not fit, then the
// classic record.
void put_end_records(std::string& out, uint64_t count, uint64_t cd_size, uint64_t offset) {
  if (count >= 0xffff || cd_size >= k32Max || offset >= k32Max) {
    const uint64_t record_at = offset + cd_size;
    put32(out, kZip64EndSig);
    put64(out, 44);  // size of the rest of this record
    put16(out, 3u << 8 | 45);
    put16(out, 45);
    put32(out, 0);
    put32(out, 0);
    put64(out, count);
    put64(out, count);
    put64(out, cd_size);
    put64(out, offset);
    put32(out, kZip64LocatorSig);
    put32(out, 0);
    put64(out, record_at);
    put32(out, 1);
  }
  put32(out, kEndSig);
  put16(out, 0);
  put16(out, 0);
  put16(out, std::min<uint64_t>(count, 0xffff));
  put16(out, std::min<uint64_t>(count, 0xffff));
  put32(out, std::min(cd_size, k32Max));
  put32(out, std::min(offset, k32Max));
  put16(out, 0);  // comment length
}

}  // namespace

std::string central_directory(const std::vector<ZipEntryRecord>& entries, uint64_t offset) {
  std::string out;
  for (const ZipEntryRecord& e : entries) put_central_header(out, e);
  put_end_records(out, entries.size(), out.size(), offset);
  return out;
}

ZipRepairResult rebuild_central_directory(int fd, const std::string& path) {
  const uint64_t size = file_size_of(fd, path);
  std::vector<ZipEntryRecord> entries;
  uint64_t end = 0;
  while (true) {
    uint64_t next = 0;
    auto e = read_entry(fd, path, end, size, next);
    if (!e) break;
    entries.push_back(std::move(*e));
    end = next;
  }
  ZipRepairResult result;
  result.entries_kept = entries.size();
  result.bytes_dropped = size - end;
  if (entries.empty()) {
    result.emptied = true;
    if (::ftruncate(fd, 0) != 0) throw_errno(path);
    return result;
  }
  // Written over the torn tail first and cut after: a repair that is itself killed leaves the
  // whole entries in place for the next one.
  const std::string cd = central_directory(entries, end);
  write_at(fd, path, cd, end);
  if (::ftruncate(fd, static_cast<off_t>(end + cd.size())) != 0) throw_errno(path);
  if (::fsync(fd) != 0) throw_errno(path);
  return result;
}

bool is_backup_archive_name(std::string_view name) {
  auto digits = [](std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (name.size() < 18 || !name.ends_with(".zip")) return false;
  name.remove_suffix(4);
  if (!digits(name.substr(0, 14))) return false;
  name.remove_prefix(14);
  return name.empty() || (name.front() == '-' && digits(name.substr(1)));
}

std::vector<ArchiveRepair> repair_backup_archives(
    const std::string& dir, const std::function<bool(const struct stat&)>& in_use) {
  std::vector<ArchiveRepair> out;
  struct DirClose {
    void operator()(DIR* d) const noexcept { ::closedir(d); }
  };
  std::unique_ptr<DIR, DirClose> d(::opendir(dir.c_str()));
  if (!d) return out;
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(d.get()))
    if (is_backup_archive_name(e->d_name)) names.push_back(e->d_name);
  std::sort(names.begin(), names.end());

  for (const std::string& name : names) {
    const std::string path = dir + (dir.ends_with('/') ? "" : "/") + name;
    ArchiveRepair repair{path, {}, false, ""};
    try {
      Fd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
      if (fd.get() < 0) throw_errno(path);
      struct stat st {};
      if (::fstat(fd.get(), &st) != 0) throw_errno(path);
      if (!S_ISREG(st.st_mode) || (in_use && in_use(st))) continue;
      unsigned char sig[4];
      const size_t n = read_at(fd.get(), path, sig, 4, 0);
      // An empty file is an archive whose run was killed before its first entry.
      if (n != 0 && (n < 4 || get32(sig) != kLocalSig)) continue;
      if (n != 0 && zip_is_complete(fd.get(), path)) continue;
      repair.result = rebuild_central_directory(fd.get(), path);
      if (repair.result.emptied) {
        if (::unlink(path.c_str()) != 0) throw_errno(path);
        repair.removed = true;
      }
    } catch (const std::exception& e) {
      repair.error = e.what();
    }
    out.push_back(std::move(repair));
  }
  return out;
}

std::string describe_repair(const ArchiveRepair& r) {
  if (!r.error.empty())
    return "backup archive " + r.path +
           " lacks its central directory and could not be repaired: " + r.error;
  if (r.removed)
    return "removed backup archive " + r.path + ": it held no whole entry (" +
           std::to_string(r.result.bytes_dropped) + " bytes dropped)";
  return "repaired backup archive " + r.path + ": " + std::to_string(r.result.entries_kept) +
         (r.result.entries_kept == 1 ? " entry" : " entries") + " kept, " +
         std::to_string(r.result.bytes_dropped) + " bytes dropped";
}

}  // namespace img_util
