// One run at a time per plugin directory: the scratch files have fixed names, so two runs
// over the same plugin directory would overwrite each other's trial encodings.
#pragma once

#include <string>

namespace img_util {

class RunLock {
 public:
  // Takes an exclusive lock on "<dir>/.img_util.lock" (creating `dir` with its parents and the
  // file when missing). Throws OSError(EBUSY) naming the lock file when another run holds it,
  // without waiting, and OSError for any other failure.
  explicit RunLock(const std::string& dir);
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  static constexpr const char* kFileName = ".img_util.lock";

 private:
  int fd_ = -1;
};

}  // namespace img_util
