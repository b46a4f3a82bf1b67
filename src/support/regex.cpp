#include "support/regex.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <map>
#include <mutex>

#include "img_util/errors.hpp"

namespace img_util {

namespace {

struct CodeDeleter {
  void operator()(pcre2_code* code) const noexcept { pcre2_code_free(code); }
};
struct MatchDataDeleter {
  void operator()(pcre2_match_data* data) const noexcept { pcre2_match_data_free(data); }
};

std::string pcre2_message(int code) {
  PCRE2_UCHAR buf[256];
  int n = pcre2_get_error_message(code, buf, sizeof buf);
  return n < 0 ? "error " + std::to_string(code) : std::string(reinterpret_cast<char*>(buf));
}

}  // namespace

struct Regex::Impl {
  std::string pattern;
  std::unique_ptr<pcre2_code, CodeDeleter> code;
};

Regex::Regex(const std::string& pattern) : impl_(std::make_unique<Impl>()) {
  impl_->pattern = pattern;
  int err = 0;
  PCRE2_SIZE offset = 0;
  // UCP makes \w, \d and case folding Unicode-aware, as the host's own regular expressions are.
  uint32_t options = PCRE2_CASELESS | PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF;
  impl_->code.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                  options, &err, &offset, nullptr));
  if (!impl_->code) {
    throw ValueError("invalid regular expression '" + pattern + "': " + pcre2_message(err) +
                     " at position " + std::to_string(offset));
  }
  // JIT is an optimisation only; without it matching still works.
  (void)pcre2_jit_compile(impl_->code.get(), PCRE2_JIT_COMPLETE);
}

Regex::~Regex() = default;

bool Regex::search(std::string_view subject) const {
  std::unique_ptr<pcre2_match_data, MatchDataDeleter> data(
      pcre2_match_data_create_from_pattern(impl_->code.get(), nullptr));
  if (!data) throw std::bad_alloc();
  int rc = pcre2_match(impl_->code.get(), reinterpret_cast<PCRE2_SPTR>(subject.data()),
                       subject.size(), 0, 0, data.get(), nullptr);
  if (rc >= 0) return true;
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  throw ValueError("regular expression '" + impl_->pattern + "' failed: " + pcre2_message(rc));
}

std::shared_ptr<const Regex> cached_regex(const std::string& pattern) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<const Regex>> cache;
  // A run uses one pattern; the bound only matters to a long-lived host with many runs.
  constexpr size_t kMaxEntries = 32;
  std::lock_guard<std::mutex> lock(mutex);
  if (auto it = cache.find(pattern); it != cache.end()) return it->second;
  auto compiled = std::make_shared<const Regex>(pattern);
  if (cache.size() >= kMaxEntries) cache.clear();
  cache.emplace(pattern, compiled);
  return compiled;
}

}  // namespace img_util
