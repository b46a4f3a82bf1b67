// Case-insensitive regular-expression search with compiled patterns kept for reuse, so a run
// compiles the pattern of its configuration once, not once per file.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace img_util {

class Regex {
 public:
  // Compiles `pattern` (Perl-style syntax, UTF-8, letter case ignored). Throws ValueError
  // naming the pattern, the position and the cause when it is invalid.
  explicit Regex(const std::string& pattern);
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // Whether the pattern matches anywhere in `subject`. Subjects that are not valid UTF-8
  // (file names need not be) are searched as far as they are valid. Throws ValueError when
  // the matcher gives up (match limit).
  bool search(std::string_view subject) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The compiled form of `pattern`, from a small process-wide cache. Thread-safe.
std::shared_ptr<const Regex> cached_regex(const std::string& pattern);

}  // namespace img_util
