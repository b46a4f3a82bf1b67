// Running an external program without a shell: arguments reach it exactly as given, its
// standard output goes into a file, and the caller waits for its exit status.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace img_util::support {

// How a child process ended.
struct ExitStatus {
  int spawn_error = 0;  // errno when the program could not be started at all (missing, not
                        // executable); 0 when it ran
  bool exited = false;  // ended by exit() rather than by a signal
  int code = -1;        // exit code when `exited`
  int signal = 0;       // terminating signal otherwise

  // Started, ran to its end and reported success.
  bool ok() const { return spawn_error == 0 && exited && code == 0; }
  // "exit status 3", "killed by signal 11", "cannot start: No such file or directory".
  std::string describe() const;
};

// Runs the program at `argv[0]` (an explicit path; PATH is not searched) with `argv` as its
// argument list and the current environment. Standard input reads /dev/null, standard output is
// written to `stdout_path` (created, or emptied before the program starts), standard error is
// inherited. Blocks until the program has ended.
// Throws OSError when `stdout_path` cannot be opened or the process cannot be waited for; a
// program that cannot be started is reported in the result, not thrown.
ExitStatus run_program(const std::vector<std::string>& argv, const std::string& stdout_path);

// The first executable regular file called `name` in the folders of $PATH, as a shell finds
// it (an empty entry is the working directory); nullopt when there is none.
std::optional<std::string> find_on_path(const std::string& name);

}  // namespace img_util::support
