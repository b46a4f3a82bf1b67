// What a run shows while it goes (on a terminal) and when it ends.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "img_util/value.hpp"
#include "support/fixtures.hpp"

namespace img_util::test {
namespace {

// Runs the CLI on a pseudo-terminal `columns` wide, as a user at a shell would; what it wrote
// there (standard output and error together) as `out`.
CliResult run_on_terminal(const std::vector<std::string>& args, unsigned short columns) {
  std::vector<std::string> words = {IMG_UTIL_CLI_PATH};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  winsize size{};
  size.ws_row = 24;
  size.ws_col = columns;
  int terminal = -1;
  CliResult r;
  const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, &size);
  if (pid < 0) return r;
  if (pid == 0) {
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  char buf[4096];
  while (true) {
    const ssize_t n = ::read(terminal, buf, sizeof buf);
    if (n > 0)
      r.out.append(buf, static_cast<size_t>(n));
    else if (n < 0 && errno == EINTR)
      continue;
    else
      break;  // EIO once the tool has closed its side
  }
  ::close(terminal);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// The states of the live line as drawn, each after its "clear the line".
std::vector<std::string> drawn_lines(const std::string& out) {
  std::vector<std::string> lines;
  constexpr std::string_view kClear = "\r\033[K";
  for (size_t at = out.find(kClear); at != std::string::npos; at = out.find(kClear, at)) {
    at += kClear.size();
    const std::string line = out.substr(at, out.find('\r', at) - at);
    if (!line.empty() && line.rfind("img_util: ", 0) != 0) lines.push_back(line);
  }
  return lines;
}

class Progress : public ::testing::Test {
 protected:
  void SetUp() override {
    site = tmp / "site";
    fs::create_directories(site + "/sub");
    plugin = tmp.plugin();
  }
  std::vector<std::string> run_args(const Value& cfg) {
    write_file(tmp / "cfg.json", to_json(cfg));
    return {"run", tmp / "cfg.json", "--plugin-dir", plugin, "--no-log", "--jobs", "1"};
  }
  Value config() {
    Value cfg = parse_json(R"({"maskmode": 1, "exts": [".jpg"], "utimemode": 0, "utime": "",
                               "quality": 60, "subfold": true, "isbackup": true})");
    cfg.set("folder", site);
    return cfg;
  }
  TempDir tmp;
  std::string site, plugin;
};

// Files done of the total and the share done, the current file cut to the terminal's width
// from the front (its name is what stays), and the summary once the line has been cleared.
TEST_F(Progress, LiveLineOnATerminalAndTheSummaryAfterIt) {
  write_photo(site + "/a.jpg", 160, 120);
  write_file(site + "/notes.txt", "not an image");
  std::string long_name;
  while (long_name.size() < 120) long_name += "the_harbour_at_dusk_";
  long_name += "final.jpg";
  // The walk takes the root's files before the folders below it: this one comes last.
  write_photo(site + "/sub/" + long_name, 160, 120);

  const unsigned short columns = 60;
  const CliResult r = run_on_terminal(run_args(config()), columns);
  ASSERT_EQ(r.exit_code, 0) << r.out;

  const std::vector<std::string> lines = drawn_lines(r.out);
  ASSERT_FALSE(lines.empty()) << r.out;
  for (const std::string& line : lines) {
    EXPECT_LT(line.size(), columns) << line;  // one line, never wrapped
    EXPECT_NE(line.find("/3 "), std::string::npos) << line;
  }
  const std::string& last = lines.back();
  EXPECT_EQ(last.rfind("3/3 100%  ETA ", 0), 0u) << last;
  EXPECT_NE(last.find("  saved "), std::string::npos) << last;
  EXPECT_NE(last.find("  ..."), std::string::npos) << last;
  EXPECT_EQ(last.substr(last.size() - 15), "_dusk_final.jpg") << last;

  EXPECT_NE(r.out.find("\r\033[Kimg_util: done in "), std::string::npos) << r.out;
  for (const std::string& said :
       {std::string("3 files seen: 2 written, 0 unchanged, 1 skipped, 0 failed"),
        std::string("2 files written: "), std::string("% saved)"),
        "1 backup archive: " + plugin + "/backups/"})
    EXPECT_NE(r.out.find(said), std::string::npos) << said << "\n" << r.out;
}

// A file name is shown, never obeyed: the terminal gets no escape sequence from it.
TEST_F(Progress, FileNamesCannotDriveTheTerminal) {
  write_file(site + "/\033]0;owned\007\033[31mred.txt", "x");
  const CliResult r = run_on_terminal(run_args(config()), 80);
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(r.out.find("\033]"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("\033[31m"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\\x1b]0;owned\\x07\\x1b[31mred.txt"), std::string::npos) << r.out;
}

// Not on a terminal: no live line and no counting walk, the same summary. The backup
// archives named are the ones this run wrote, not those an earlier run left.
TEST_F(Progress, SummaryOffATerminalNamesOnlyThisRunsArchives) {
  write_photo(site + "/a.jpg", 160, 120);
  fs::create_directories(plugin + "/backups");
  const std::string earlier = plugin + "/backups/20200101000000.zip";
  write_file(earlier, std::string("PK\5\6", 4) + std::string(18, '\0'));  // an empty archive
  std::vector<std::string> args = run_args(config());
  args.insert(args.end(), {"--json", tmp / "events.json"});
  const CliResult r = run_cli(args);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.find("\r"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("1 file seen: 1 written, 0 unchanged, 0 skipped, 0 failed"),
            std::string::npos)
      << r.err;

  std::vector<std::string> zips;
  for (const auto& e : fs::directory_iterator(plugin + "/backups"))
    if (e.path() != earlier) zips.push_back(e.path());
  ASSERT_EQ(zips.size(), 1u);
  EXPECT_NE(r.err.find("1 backup archive: " + zips[0] + " ("), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(earlier), std::string::npos) << r.err;

  const std::string events = read_file(tmp / "events.json");
  const Value summary = parse_json(events.substr(events.rfind("{\"event\": \"summary\"")));
  EXPECT_EQ(summary.at("archives"), Value(List{Value(zips[0])}));
  EXPECT_EQ(summary.at("written"), Value(int64_t{1}));
  EXPECT_EQ(summary.at("unchanged"), Value(int64_t{0}));
}

}  // namespace
}  // namespace img_util::test
