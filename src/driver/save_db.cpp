// save_db: appends the finished run's summary row to the run log; and the log's reader.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/run_log.hpp"
#include "support/atomic_file.hpp"
#include "support/sqlite_db.hpp"

namespace img_util {

namespace {

constexpr const char* kLogFile = "quorvane.sqlite3";

constexpr const char* kCreateTable =
    "\n"
    "            CREATE TABLE IF NOT EXISTS image_logs\n"
    "            (\n"
    "            ctime INT,\n"
    "            folder CHAR,\n"
    "            flags INT,\n"
    "            maskcount INT,\n"
    "            compresscount INT,\n"
    "            second INT,\n"
    "            records TEXT );\n"
    "            ";

constexpr const char* kInsert =
    "insert into image_logs(ctime,folder, flags,maskcount,compresscount,second, records) "
    "values (?, ?, ?, ?, ?, ?, ?)";

// int(x) as Python computes it for the start time: floats cut toward zero, digit text parsed.
int64_t to_int(const Value& v) {
  if (v.is_bool() || v.is_int()) return v.as_int();
  if (v.is_float()) {
    const double d = v.as_number();
    if (std::isnan(d)) throw ValueError("cannot convert float NaN to integer");
    if (std::isinf(d)) throw ValueError("cannot convert float infinity to integer");
    const double t = std::trunc(d);
    if (t >= 9223372036854775808.0 || t < -9223372036854775808.0)
      throw ValueError("ctime " + py_repr(v) + " is out of range");
    return static_cast<int64_t>(t);
  }
  if (v.is_text() || v.is_bytes()) {
    const std::string& raw = v.is_text() ? v.as_text() : v.as_bytes().data;
    const size_t b = raw.find_first_not_of(" \t\n\r\f\v");
    const size_t e = raw.find_last_not_of(" \t\n\r\f\v");
    const std::string s = b == std::string::npos ? "" : raw.substr(b, e - b + 1);
    size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
    bool ok = i < s.size();
    for (size_t k = i; k < s.size(); ++k) ok = ok && s[k] >= '0' && s[k] <= '9';
    if (ok) {
      errno = 0;
      const long long n = std::strtoll(s.c_str(), nullptr, 10);
      if (errno == 0) return n;
    }
    throw ValueError("invalid literal for int() with base 10: " + py_repr(v));
  }
  throw TypeError("int() argument must be a string, a bytes-like object or a real number, not '" +
                  v.type_name() + "'");
}

}  // namespace

void IMAGES::save_db(const Value& d) {
  Database db(path_join(basedir(), kLogFile));
  db.busy_timeout(5000);
  db.exec(kCreateTable);

  const Value& result = d.at("result");
  const int64_t ctime = to_int(result.at("ctime"));
  const Value folder = d.at("folder");
  const Value flags = d.at("maskmode");
  const Value maskcount = result.at("maskcount");
  const Value compresscount = result.at("compresscount");
  if (!compresscount.truthy() && !maskcount.truthy()) return;

  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const auto second = static_cast<int64_t>(std::trunc(now - static_cast<double>(ctime)));
  const std::string records = to_json(d);

  db.exec("BEGIN");
  {
    Statement insert = db.prepare(kInsert);
    insert.bind(1, Value(ctime));
    insert.bind(2, folder);
    insert.bind(3, flags);
    insert.bind(4, maskcount);
    insert.bind(5, compresscount);
    insert.bind(6, Value(second));
    insert.bind(7, Value(records));
    insert.step();
  }  // finalized before the commit and the close
  db.exec("COMMIT");
  db.close();
}

namespace {

// The command-line tool's record of its runs. Its own table: image_logs stays as the host
// knows it.
constexpr const char* kCreateRuns =
    "CREATE TABLE IF NOT EXISTS image_runs (ctime INT, folder CHAR, flags INT, pid INT, "
    "process TEXT, status TEXT, ended INT, compresscount INT, maskcount INT, message TEXT, "
    "backdir TEXT, archives TEXT)";

Database open_log() {
  Database db(path_join(basedir(), kLogFile));
  db.busy_timeout(5000);
  return db;
}

std::string first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// What tells a process apart from a later one given the same id: the boot and the moment it
// started (clock ticks after boot). Empty where /proc does not say.
std::string process_identity(int64_t pid) {
  const std::string stat = first_line("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return "";
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  // The start time is the 22nd field; the 2nd, the name, ends at the last parenthesis.
  for (int i = 3; i <= 22; ++i)
    if (!(fields >> field)) return "";
  return first_line("/proc/sys/kernel/random/boot_id") + " " + field;
}

// Whether the process that recorded a run is still the one running it.
bool still_running(int64_t pid, const std::string& identity) {
  if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) return false;
  const std::string now = process_identity(pid);
  return now.empty() || identity.empty() || now == identity;
}

bool has_table(Database& db, const char* name) {
  Statement q = db.prepare("select 1 from sqlite_master where type = 'table' and name = ?");
  q.bind(1, Value(std::string(name)));
  return q.step();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(line);
  return out;
}

}  // namespace

int64_t record_run_start(const Value& cfg) {
  // The run makes the plugin directory as it starts (its lock lives there); the record comes
  // first.
  make_directories(basedir());
  Database db = open_log();
  db.exec(kCreateRuns);
  int64_t id = 0;
  {
    Statement insert = db.prepare(
        "insert into image_runs(ctime, folder, flags, pid, process, status) "
        "values (?, ?, ?, ?, ?, 'running')");
    insert.bind(1, Value(to_int(cfg.at("result").at("ctime"))));
    insert.bind(2, cfg.get("folder"));
    insert.bind(3, cfg.get("maskmode"));
    const int64_t pid = ::getpid();
    insert.bind(4, Value(pid));
    insert.bind(5, Value(process_identity(pid)));
    insert.step();
    id = db.last_insert_rowid();
  }
  db.close();
  return id;
}

void record_run_end(int64_t id, const RunEnd& end) {
  Database db = open_log();
  {
    Statement update = db.prepare(
        "update image_runs set status = ?, ended = ?, compresscount = ?, maskcount = ?, "
        "message = ?, backdir = ?, archives = ? where rowid = ?");
    update.bind(1, Value(end.status));
    update.bind(2, Value(static_cast<int64_t>(std::time(nullptr))));
    const bool counted = end.result.is_dict();
    update.bind(3, counted ? end.result.get("compresscount") : Value());
    update.bind(4, counted ? end.result.get("maskcount") : Value());
    update.bind(5, Value(end.message));
    // `log` may run from another folder.
    update.bind(6, Value(std::filesystem::absolute(end.backdir).lexically_normal().string()));
    std::string names;
    for (const std::string& name : end.archives) names += name + "\n";
    update.bind(7, Value(names));
    update.bind(8, Value(id));
    update.step();
  }
  db.close();
}

RunLog read_run_log() {
  RunLog log;
  log.path = path_join(basedir(), kLogFile);
  struct stat st {};
  if (::stat(log.path.c_str(), &st) != 0) return log;
  Database db = open_log();
  const bool has_logs = has_table(db, "image_logs"), has_runs = has_table(db, "image_runs");
  if (!has_logs && !has_runs) {
    log.state = RunLog::State::NoTable;
    return log;
  }
  log.state = RunLog::State::Present;

  std::vector<LoggedRun> logged;  // by save_db, oldest first
  if (has_logs) {
    Statement q = db.prepare(
        "select ctime, flags, compresscount, maskcount, second, folder from image_logs "
        "order by rowid");
    while (q.step())
      logged.push_back({q.column_int(0),
                        q.column_text(1),
                        q.column_text(2),
                        q.column_text(3),
                        q.column_text(4),
                        q.column_text(5),
                        "",
                        "",
                        {}});
  }
  std::vector<bool> joined(logged.size());
  std::vector<LoggedRun> runs;
  if (has_runs) {
    Statement q = db.prepare(
        "select ctime, flags, folder, pid, process, status, ended, compresscount, maskcount, "
        "message, backdir, archives from image_runs order by rowid");
    while (q.step()) {
      LoggedRun r;
      r.ctime = q.column_int(0);
      r.flags = q.column_text(1);
      r.folder = q.column_text(2);
      r.status = q.column_text(5);
      if (r.status == "running" && !still_running(q.column_int(3), q.column_text(4)))
        r.status = "interrupted";
      if (!q.column_is_null(6)) {
        r.compresscount = q.column_text(7);
        r.maskcount = q.column_text(8);
        r.seconds = std::to_string(q.column_int(6) - r.ctime);
      }
      r.message = q.column_text(9);
      for (const std::string& name : lines_of(q.column_text(11)))
        r.archives.push_back(path_join(q.column_text(10), name));
      // The same run's row in image_logs, if save_db added one: its counts and time are the
      // ones the host sees.
      for (size_t i = 0; i < logged.size(); ++i) {
        if (joined[i] || logged[i].ctime != r.ctime || logged[i].folder != r.folder) continue;
        joined[i] = true;
        r.compresscount = logged[i].compresscount;
        r.maskcount = logged[i].maskcount;
        r.seconds = logged[i].seconds;
        break;
      }
      runs.push_back(std::move(r));
    }
  }
  for (size_t i = 0; i < logged.size(); ++i)
    if (!joined[i]) runs.push_back(std::move(logged[i]));
  // Newest first; of runs started in the same second, the one recorded last.
  std::stable_sort(runs.begin(), runs.end(),
                   [](const LoggedRun& a, const LoggedRun& b) { return a.ctime < b.ctime; });
  log.runs.assign(runs.rbegin(), runs.rend());
  return log;
}

}  // namespace img_util
