// The run's record beside the run log: added as the run starts and completed as it ends, so that
// `img_util log` tells a finished run from one that failed or was cut short, and names the
// archives each wrote.
#include <dirent.h>

#include <set>
#include <string>
#include <vector>

#include "cli.hpp"
#include "img_util/errors.hpp"
#include "img_util/run_log.hpp"

namespace img_util::cli {

std::set<std::string> zip_names(const std::string& dir) {
  std::set<std::string> out;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".zip") == 0) out.insert(name);
    }
    ::closedir(d);
  }
  return out;
}

RunRecord::RunRecord(const Value& cfg, bool enabled, const std::string& backdir)
    : backdir_(backdir), zips_before_(zip_names(backdir)) {
  if (!enabled) return;
  try {
    id_ = record_run_start(cfg);
  } catch (...) {
    // The run itself does not need the record; save_db says so again if the database is broken.
    say("the start of the run could not be logged: " +
        describe_exception(std::current_exception()));
  }
}

std::vector<std::string> RunRecord::new_archives() const {
  std::vector<std::string> out;
  for (const std::string& name : zip_names(backdir_))
    if (!zips_before_.count(name)) out.push_back(name);
  return out;
}

void RunRecord::finish(int status, const std::string& failure, int64_t files_failed,
                       const Value& result) {
  if (id_ == 0) return;
  RunEnd end;
  if (!failure.empty()) {
    end.status = status == kInterrupted ? "interrupted" : "failed";
    end.message = failure;
  } else {
    end.status = "finished";
    if (files_failed > 0)
      end.message =
          std::to_string(files_failed) + (files_failed == 1 ? " file" : " files") + " failed";
  }
  end.result = result;
  end.backdir = backdir_;
  end.archives = new_archives();
  try {
    record_run_end(id_, end);
  } catch (...) {
    say("the end of the run could not be logged: " + describe_exception(std::current_exception()));
  }
}

}  // namespace img_util::cli
