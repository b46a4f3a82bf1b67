// Restorer: the originals put back from the backup archives. The archives name each file by its
// absolute path without the leading "/"; an entry is written there (or below `to`) through a
// temporary file and a rename, the folders on the way opened one by one without following a
// link, so that no entry can land anywhere else.
#include "img_util/restore.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "img_util/errors.hpp"
#include "support/atomic_file.hpp"
#include "support/files.hpp"
#include "support/zip_reader.hpp"

namespace img_util {

namespace {

using Outcome = RestoredEntry::Outcome;

// Why an entry name is refused, or nothing; its parts in `parts`. A backup names each file by
// its absolute path without the leading "/", in plain parts; anything else was not written by
// a backup and could point anywhere.
std::optional<std::string> refusal(const std::string& name, std::vector<std::string>& parts) {
  if (name.empty()) return "an empty name";
  if (name.front() == '/') return "an absolute name (backups name files without the leading /)";
  parts.clear();
  for (size_t start = 0; start <= name.size();) {
    const size_t end = std::min(name.find('/', start), name.size());
    parts.push_back(name.substr(start, end - start));
    start = end + 1;
  }
  for (const std::string& part : parts) {
    if (part == "..") return "a '..' part, which would climb out of its folder";
    if (part.empty() || part == ".") return "not a plain path (an empty or '.' part)";
  }
  return std::nullopt;
}

// OSError's text without its "[Errno N] " lead: the cause and the file it names.
std::string cause(const OSError& e) {
  const std::string_view text = e.what();
  const size_t close = text.find("] ");
  if (text.rfind("[Errno ", 0) == 0 && close != std::string_view::npos)
    return std::string(text.substr(close + 2));
  return std::string(text);
}

// Everything a write would check, without writing: no link on the way to the target or at its
// name, nothing but a regular file in its place, and the right to replace it. Folders that are
// missing would be made.
void check_place(const std::string& root, const std::vector<std::string>& dirs,
                 const std::string& name, const std::string& target) {
  Fd dir;
  try {
    dir = open_directory_below(root, dirs, false);
  } catch (const OSError& e) {
    if (e.error_number() == ENOENT) return;
    throw;
  }
  struct stat st {};
  if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(st.st_mode)) throw OSError(ELOOP, target, "Symbolic link not replaced");
    if (S_ISDIR(st.st_mode)) throw OSError(EISDIR, target);
    if (!S_ISREG(st.st_mode)) throw OSError(EINVAL, target, "Not a regular file");
    if (::faccessat(dir.get(), name.c_str(), W_OK, AT_EACCESS) != 0) throw_errno(target);
  } else if (errno != ENOENT) {
    throw_errno(target);
  }
  if (::faccessat(dir.get(), ".", W_OK, AT_EACCESS) != 0) {
    const int err = errno;
    throw OSError(err, target, std::string(std::strerror(err)) + " (writing in its folder)");
  }
}

}  // namespace

Restorer::Restorer(RestoreOptions opts, Report report)
    : opts_(std::move(opts)),
      report_(std::move(report)),
      root_(opts_.to.empty() ? "/" : opts_.to),
      only_used_(opts_.only.size()) {}

std::vector<std::string> Restorer::unmatched_only() const {
  std::vector<std::string> out;
  for (size_t i = 0; i < opts_.only.size(); ++i)
    if (!only_used_[i]) out.push_back(opts_.only[i]);
  return out;
}

bool Restorer::selected(const std::string& original) {
  if (opts_.only.empty()) return true;
  bool any = false;
  for (size_t i = 0; i < opts_.only.size(); ++i) {
    const std::string& p = opts_.only[i];
    const bool below = original.size() > p.size() && original.compare(0, p.size(), p) == 0 &&
                       (p.back() == '/' || original[p.size()] == '/');
    if (original == p || below) only_used_[i] = any = true;
  }
  return any;
}

Restorer::ArchiveRead Restorer::archive(const std::string& path) {
  ArchiveRead read;
  try {
    ZipReader zip(path);
    read.complete = zip.complete();
    ZipEntryInfo e;
    while (zip.next(e)) entry(zip, e);
  } catch (const OSError& e) {
    read.error = cause(e);
  }
  return read;
}

void Restorer::entry(ZipReader& zip, const ZipEntryInfo& e) {
  RestoredEntry out;
  out.name = e.name;
  std::string name = e.name;
  if (S_ISDIR(e.type))
    while (name.size() > 1 && name.back() == '/') name.pop_back();
  std::vector<std::string> parts;
  const auto done = [&](Outcome outcome, std::string reason) {
    out.outcome = outcome;
    out.reason = std::move(reason);
    report_(out);
  };
  if (const auto why = refusal(name, parts)) return done(Outcome::Refused, *why);
  out.path = "/" + name;
  if (!selected(out.path)) return done(Outcome::Skipped, "not under --only");
  if (S_ISDIR(e.type))
    return done(Outcome::Skipped, "a folder (folders are made as their files need them)");
  if (!S_ISREG(e.type))
    return done(Outcome::Refused, "not a regular file (backups hold files only)");
  const std::string target = opts_.to.empty() ? out.path : path_join(opts_.to, name);
  if (const auto it = done_.find(target); it != done_.end())
    return done(Outcome::Skipped, "restored already from " + it->second);
  out.path = target;
  try {
    write(zip, e, parts, out);
  } catch (const OSError& err) {
    // A link is where the entry would leave its target; anything else is a failure to write,
    // or damaged data (then the next entry tells whether the archive can be read on).
    if (err.error_number() == ELOOP)
      return done(Outcome::Refused, "a symbolic link at " + err.filename() + " (not followed)");
    return done(Outcome::Failed, cause(err));
  }
  done_.emplace(target, zip.path());
  done(Outcome::Restored, "");
}

void Restorer::write(ZipReader& zip, const ZipEntryInfo& e, const std::vector<std::string>& parts,
                     RestoredEntry& out) {
  const std::vector<std::string> dirs(parts.begin(), parts.end() - 1);
  if (opts_.dry_run) {
    check_place(root_, dirs, parts.back(), out.path);
    // Read through, so that a damaged entry shows now rather than at the real restore.
    for (std::string_view chunk; !(chunk = zip.read()).empty();)
      out.bytes += static_cast<int64_t>(chunk.size());
    return;
  }
  FilePlace place;
  place.dir = open_directory_below(root_, dirs, true);
  place.name = parts.back();
  place.path = out.path;
  place.dir_path = out.path.substr(0, out.path.size() - parts.back().size() - 1);
  place.mtime = e.mtime;
  // Set-id bits are never put back: a doctored archive could hand out a set-user-id program.
  if (e.perm) place.mode = *e.perm & 0777;
  place.new_owner = std::make_pair(e.uid, e.gid);
  AtomicFile file(std::move(place));
  for (std::string_view chunk; !(chunk = zip.read()).empty();) {
    file.write(chunk);
    out.bytes += static_cast<int64_t>(chunk.size());
  }
  file.commit();
}

}  // namespace img_util
