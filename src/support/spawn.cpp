#include "support/spawn.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "img_util/errors.hpp"

extern char** environ;

namespace img_util::support {
namespace {

// An owned file descriptor, closed when the owner dies.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// posix_spawn's file actions, destroyed with their owner.
class FileActions {
 public:
  FileActions() {
    if (int rc = posix_spawn_file_actions_init(&fa_); rc != 0) {
      errno = rc;
      throw_errno("posix_spawn_file_actions_init");
    }
  }
  ~FileActions() { posix_spawn_file_actions_destroy(&fa_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  void dup2(int fd, int target) {
    if (int rc = posix_spawn_file_actions_adddup2(&fa_, fd, target); rc != 0) {
      errno = rc;
      throw_errno("posix_spawn_file_actions_adddup2");
    }
  }
  const posix_spawn_file_actions_t* get() const { return &fa_; }

 private:
  posix_spawn_file_actions_t fa_;
};

// Spawn attributes: the child starts with default signal dispositions and an empty mask, so a
// host that ignores SIGPIPE or blocks signals does not pass that on to the tool.
class SpawnAttr {
 public:
  SpawnAttr() {
    if (int rc = posix_spawnattr_init(&attr_); rc != 0) {
      errno = rc;
      throw_errno("posix_spawnattr_init");
    }
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr_, &all);
    posix_spawnattr_setsigmask(&attr_, &none);
    posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  ~SpawnAttr() { posix_spawnattr_destroy(&attr_); }
  SpawnAttr(const SpawnAttr&) = delete;
  SpawnAttr& operator=(const SpawnAttr&) = delete;
  const posix_spawnattr_t* get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

UniqueFd open_or_throw(const std::string& path, int flags, mode_t perms = 0) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, perms);
  if (fd < 0) throw_errno(path);
  return UniqueFd(fd);
}

}  // namespace

std::string ExitStatus::describe() const {
  if (spawn_error != 0) return std::string("cannot start: ") + std::strerror(spawn_error);
  if (exited) return "exit status " + std::to_string(code);
  return "killed by signal " + std::to_string(signal);
}

ExitStatus run_program(const std::vector<std::string>& argv, const std::string& stdout_path) {
  ExitStatus st;
  if (argv.empty()) {
    st.spawn_error = EINVAL;
    return st;
  }
  // Opened (and so emptied) before the start: whatever the program does, the file afterwards
  // holds exactly what it wrote.
  UniqueFd out = open_or_throw(stdout_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  UniqueFd in = open_or_throw("/dev/null", O_RDONLY);

  FileActions actions;
  actions.dup2(in.get(), STDIN_FILENO);
  actions.dup2(out.get(), STDOUT_FILENO);
  SpawnAttr attr;

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  if (int rc = posix_spawn(&pid, argv[0].c_str(), actions.get(), attr.get(), args.data(), environ);
      rc != 0) {
    st.spawn_error = rc;
    return st;
  }

  int status = 0;
  for (;;) {
    pid_t r = ::waitpid(pid, &status, 0);
    if (r == pid) break;
    if (r < 0 && errno == EINTR) continue;
    throw_errno(argv[0]);
  }
  if (WIFEXITED(status)) {
    st.exited = true;
    st.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    st.signal = WTERMSIG(status);
  }
  return st;
}

std::optional<std::string> find_on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
  std::string_view rest(path);
  while (true) {
    const size_t colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    const std::string candidate = (dir.empty() ? std::string(".") : std::string(dir)) + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

}  // namespace img_util::support
