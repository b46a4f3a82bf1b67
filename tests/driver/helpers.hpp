// Helpers shared by the driver tests: capturing the module's lines, running a command.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "img_util/module.hpp"

namespace img_util::test {

// Collects the module's lines for the lifetime of the object.
class CapturedLines {
 public:
  CapturedLines() {
    set_line_sink([this](const std::string& line) { lines.push_back(line); });
  }
  ~CapturedLines() { set_line_sink(nullptr); }
  std::vector<std::string> lines;
};

// Routes execute's entries to `seam` for the lifetime of the object.
class SeamGuard {
 public:
  explicit SeamGuard(PipelineSeam seam) { set_pipeline_seam(std::move(seam)); }
  ~SeamGuard() { set_pipeline_seam(nullptr); }
};

// Runs a shell command; returns its exit status and standard output.
inline int run_command(const std::string& cmd, std::string* out = nullptr) {
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  std::string text;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  if (out) *out = text;
  const int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

}  // namespace img_util::test
