// img_util restore: the originals put back from the backup archives, a line per entry on
// standard output and the summary on standard error.
#include "img_util/restore.hpp"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli.hpp"
#include "img_util/errors.hpp"
#include "img_util/value.hpp"

namespace img_util::cli {

namespace {

const char* const kRestoreHelp =
    "usage: img_util restore ARCHIVE... [--only PATH...] [--to DIR] [--dry-run]\n"
    "\n"
    "Puts the originals back from backup archives (the zip files in the plugin directory's\n"
    "backups/): each file at the path it was backed up from, byte for byte, with its\n"
    "modification time and permission bits. A file in its place is replaced whole or not at\n"
    "all; missing folders are made.\n"
    "\n"
    "options:\n"
    "  --only PATH...  restore only these files, and the files below these folders, named as\n"
    "                  they were backed up (every argument up to the next option; may be\n"
    "                  given again)\n"
    "  --to DIR        restore below DIR instead of /: /srv/www/a.jpg goes to\n"
    "                  DIR/srv/www/a.jpg\n"
    "  --dry-run       read the archives through and say what would be restored; touch nothing\n"
    "\n"
    "A path held by more than one of the archives is restored from the first one named\n"
    "(backups/*.zip names the oldest first: the file as it was before the first run). Entries\n"
    "that would land outside their target are refused: names with '..' parts or a leading\n"
    "'/', and paths through a symbolic link (links are not followed). Set-id bits are not\n"
    "restored. Standard output has a line per entry, standard error the summary.\n"
    "\n"
    "exit status: 0 everything asked for was restored; 2 usage error; 3 some entries failed or\n"
    "were refused, an archive could not be read, or an --only PATH matched nothing\n";

struct Args {
  std::vector<std::string> archives;
  RestoreOptions opts;
};

// A path as the backups name it: absolute, by the text alone (links are not resolved).
std::string backed_up_path(const std::string& path) {
  std::string p = std::filesystem::absolute(path).lexically_normal().string();
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

bool is_option(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

// `restore`'s arguments; none once the help has been printed.
std::optional<Args> parse_restore_args(const std::vector<std::string>& args) {
  Args out;
  bool in_only = false;  // after --only, up to the next option
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string value;
    if (a == "--help" || a == "-h") {
      std::fputs(kRestoreHelp, stdout);
      return std::nullopt;
    }
    if (a == "--only") {
      if (i + 1 >= args.size() || is_option(args[i + 1])) throw Usage{"--only needs a path"};
      in_only = true;
      continue;
    }
    if (in_only && !is_option(a)) {
      if (a.empty()) throw Usage{"--only needs a path, not an empty one"};
      out.opts.only.push_back(backed_up_path(a));
      continue;
    }
    in_only = false;
    if (option_value(args, i, "--only", value)) {
      if (value.empty()) throw Usage{"--only needs a path"};
      out.opts.only.push_back(backed_up_path(value));
    } else if (option_value(args, i, "--to", value)) {
      if (value.empty()) throw Usage{"--to needs a directory"};
      out.opts.to = value;
    } else if (a == "--dry-run") {
      out.opts.dry_run = true;
    } else if (is_option(a)) {
      throw Usage{"unknown option " + a};
    } else {
      if (a.empty()) throw Usage{"an archive name is empty"};
      out.archives.push_back(a);
    }
  }
  if (out.archives.empty()) throw Usage{"restore needs at least one archive"};
  return out;
}

std::string quoted(const std::string& path) { return py_repr(std::string_view(path)); }

// Counts the entries by outcome and prints a line for each.
struct Tally {
  bool dry_run = false;
  int64_t restored = 0, skipped = 0, refused = 0, failed = 0;
  int64_t entries() const { return restored + skipped + refused + failed; }

  void operator()(const RestoredEntry& e) {
    using Outcome = RestoredEntry::Outcome;
    std::string line;
    switch (e.outcome) {
      case Outcome::Restored:
        ++restored;
        line = (dry_run ? "would restore " : "restored ") + quoted(e.path) + " (" +
               std::to_string(e.bytes) + (e.bytes == 1 ? " byte)" : " bytes)");
        break;
      case Outcome::Skipped:
        ++skipped;
        line = "skipped " + quoted(e.path) + ": " + e.reason;
        break;
      case Outcome::Refused:
        ++refused;
        line = "refused " + quoted(e.path.empty() ? e.name : e.path) + ": " + e.reason;
        break;
      case Outcome::Failed:
        ++failed;
        line = "failed " + quoted(e.path) + ": " + e.reason;
        break;
    }
    std::printf("  %s\n", line.c_str());
  }
};

}  // namespace

int cmd_restore(const std::vector<std::string>& args) {
  const std::optional<Args> parsed = parse_restore_args(args);
  if (!parsed) return kOk;
  Tally tally;
  tally.dry_run = parsed->opts.dry_run;
  Restorer restorer(parsed->opts, [&tally](const RestoredEntry& e) { tally(e); });
  int64_t archives_read = 0;
  bool archive_failed = false;
  for (const std::string& archive : parsed->archives) {
    std::printf("%s:\n", quoted(archive).c_str());
    std::fflush(stdout);
    const int64_t before = tally.entries();
    const Restorer::ArchiveRead read = restorer.archive(archive);
    std::fflush(stdout);
    if (!read.complete)
      say("the archive " + quoted(archive) +
          " was cut short before its central directory: its whole entries are read, without "
          "their permission bits (files keep theirs, new files get the usual ones)");
    if (read.error) {
      say((tally.entries() == before ? "cannot read the archive "
                                     : "cannot read on in the archive ") +
          quoted(archive) + ": " + *read.error);
      archive_failed = true;
    }
    if (!read.error || tally.entries() > before) ++archives_read;
    std::fflush(stdout);
  }
  bool unmatched = false;
  for (const std::string& path : restorer.unmatched_only()) {
    say("nothing in the archives is at or below --only " + quoted(path));
    unmatched = true;
  }
  const std::string files =
      std::to_string(tally.restored) + (tally.restored == 1 ? " file" : " files");
  const std::string rest =
      " from " + std::to_string(archives_read) + (archives_read == 1 ? " archive" : " archives") +
      "; " + std::to_string(tally.skipped) + " skipped, " + std::to_string(tally.refused) +
      " refused, " + std::to_string(tally.failed) + " failed";
  if (tally.dry_run)
    say("dry run: " + files + " would be restored" + rest + "; nothing was touched");
  else
    say("restored " + files + rest);
  const bool trouble = tally.refused > 0 || tally.failed > 0 || archive_failed || unmatched;
  return trouble ? kSomeFilesFailed : kOk;
}

}  // namespace img_util::cli
