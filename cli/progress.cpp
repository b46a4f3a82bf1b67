// The live progress line on standard error, and the counts behind the closing summary.
#include <locale.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <wchar.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "cli.hpp"

namespace img_util::cli {

namespace {

// How often the line is redrawn at most, and at least while a file takes long.
constexpr double kMinRedrawSeconds = 0.1;
constexpr auto kTick = std::chrono::milliseconds(250);

// The columns of standard error's terminal; 80 when it does not say.
size_t terminal_columns() {
  winsize ws{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

// 83 -> "1:23", 3723 -> "1:02:03".
std::string duration_text(double seconds) {
  const long long s = static_cast<long long>(seconds + 0.5);
  char buf[48];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
  return buf;
}

// The characters of `text` (UTF-8) with the columns each takes on a terminal. Without a UTF-8
// locale to ask, every character beyond ASCII is taken as wide: a line a little short is
// harmless, one that wraps leaves a trail of stale lines.
std::vector<std::pair<std::string, size_t>> characters(const std::string& text) {
  static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  std::vector<std::pair<std::string, size_t>> out;
  const locale_t before = utf8 ? ::uselocale(utf8) : locale_t{};
  std::mbstate_t state{};
  for (size_t i = 0; i < text.size();) {
    wchar_t wc = 0;
    size_t len = utf8 ? std::mbrtowc(&wc, text.data() + i, text.size() - i, &state) : 0;
    int columns = utf8 && len > 0 && len <= 4 ? ::wcwidth(wc) : -1;
    if (len == 0 || len > 4) {
      // No locale, or not a character it knows: the bytes of one UTF-8 sequence.
      state = std::mbstate_t{};
      len = 1;
      while (i + len < text.size() && (static_cast<unsigned char>(text[i + len]) & 0xC0) == 0x80)
        ++len;
    }
    if (columns < 0) columns = static_cast<unsigned char>(text[i]) < 0x80 ? 1 : 2;
    out.emplace_back(text.substr(i, len), static_cast<size_t>(columns));
    i += len;
  }
  if (utf8) ::uselocale(before);
  return out;
}

// The path as the per-file lines name it (control characters and bytes that are not UTF-8
// escaped, so a file name cannot drive the terminal), in at most `columns` columns: when
// longer, its end, which names the file, after "...". Empty when too few columns are left.
std::string fit_path(const std::string& path, size_t columns) {
  std::string shown = py_repr(std::string_view(path));
  shown = shown.substr(1, shown.size() - 2);  // the quotes
  const auto chars = characters(shown);
  size_t width = 0;
  for (const auto& c : chars) width += c.second;
  if (width <= columns) return shown;
  constexpr std::string_view kEllipsis = "...";
  if (columns < kEllipsis.size() + 4) return {};
  std::string tail;
  width = kEllipsis.size();
  for (auto c = chars.rbegin(); c != chars.rend() && width + c->second <= columns; ++c) {
    tail.insert(0, c->first);
    width += c->second;
  }
  return std::string(kEllipsis) + tail;
}

}  // namespace

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string byte_text(int64_t n) {
  char buf[32];
  if (n < 1024)
    std::snprintf(buf, sizeof buf, "%lld B", static_cast<long long>(n));
  else if (n < (int64_t{1} << 20))
    std::snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(n) / 1024.0);
  else if (n < (int64_t{1} << 30))
    std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(n) / 1048576.0);
  else
    std::snprintf(buf, sizeof buf, "%.1f GiB", static_cast<double>(n) / 1073741824.0);
  return buf;
}

Progress::Progress(bool live) : live_(live), start_(now_seconds()) {
  if (live_) ticker_ = std::jthread([this](std::stop_token stop) { tick(stop); });
}

Progress::~Progress() = default;

double Progress::elapsed() const { return now_seconds() - start_; }

void Progress::set_total(int64_t total) {
  std::lock_guard lock(mutex_);
  total_ = total;
  counted_at_ = now_seconds();
}

void Progress::start(const std::string& fpath) {
  std::lock_guard lock(mutex_);
  current_ = fpath;
  draw(false);
}

void Progress::file(FileOutcome outcome, const FileNote& note) {
  std::lock_guard lock(mutex_);
  ++seen_;
  switch (outcome) {
    case FileOutcome::Processed:
      if (note.bytes_written >= 0) {
        ++written_;
        bytes_before_ += std::max<int64_t>(note.bytes_before, 0);
        bytes_after_ += note.bytes_written;
      } else {
        ++unchanged_;
      }
      break;
    case FileOutcome::Skipped: ++skipped_; break;
    case FileOutcome::Failed: ++failed_; break;
  }
  // The last file's line is drawn whatever the time since the last: it is the one that stays.
  draw(seen_ == total_);
}

std::string Progress::line(double now) const {
  const int64_t saved = bytes_before_ - bytes_after_;
  std::string text;
  if (total_ < 0) {
    text = std::to_string(seen_) + " done";
  } else {
    // Files that appeared after the count are still files the run went through.
    const int64_t total = std::max(total_, seen_);
    const int64_t percent = total > 0 ? 100 * seen_ / total : 100;
    const std::string left = seen_ > 0
                                 ? duration_text((now - counted_at_) / static_cast<double>(seen_) *
                                                 static_cast<double>(total - seen_))
                                 : "--:--";
    char head[96];
    std::snprintf(head, sizeof head, "%lld/%lld %3lld%%  ETA %s", static_cast<long long>(seen_),
                  static_cast<long long>(total), static_cast<long long>(percent), left.c_str());
    text = head;
  }
  text += saved >= 0 ? "  saved " + byte_text(saved) : "  grew " + byte_text(-saved);
  if (failed_ > 0) text += "  " + std::to_string(failed_) + " failed";
  // The last column is left free: some terminals wrap as soon as it is written.
  const size_t columns = terminal_columns() - 1;
  if (text.size() >= columns) return text.substr(0, columns);
  const std::string path = fit_path(current_, columns - text.size() - 2);
  return path.empty() ? text : text + "  " + path;
}

void Progress::draw(bool force) {
  // Nothing is drawn before the first file: what the run says before it stays readable.
  if (!live_ || suspended_ || current_.empty()) return;
  const double now = now_seconds();
  // A terminal cannot show more than a few redraws a second anyway.
  if (!force && now - last_draw_ < kMinRedrawSeconds) return;
  last_draw_ = now;
  const std::string text = "\r\033[K" + line(now);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  shown_ = true;
}

void Progress::clear() {
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
}

// Keeps the time left and the current file true while one file takes long.
void Progress::tick(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    wake_.wait_for(lock, stop, kTick, [] { return false; });
    if (!stop.stop_requested()) draw(false);
  }
}

void Progress::before_line() {
  if (!live_) return;
  std::lock_guard lock(mutex_);
  suspended_ = true;
  if (shown_) clear();
}

void Progress::after_line() {
  if (!live_) return;
  std::lock_guard lock(mutex_);
  suspended_ = false;
  if (shown_) draw(true);
}

void Progress::finish() {
  if (!live_) return;
  ticker_.request_stop();
  if (ticker_.joinable()) ticker_.join();
  std::lock_guard lock(mutex_);
  if (shown_) clear();
  shown_ = false;
}

}  // namespace img_util::cli
