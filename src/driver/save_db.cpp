// save_db: appends the finished run's summary row to the run log; and the log's reader.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <string>

#include "driver/driver.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/run_log.hpp"
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

RunLog read_run_log() {
  RunLog log;
  log.path = path_join(basedir(), kLogFile);
  struct stat st {};
  if (::stat(log.path.c_str(), &st) != 0) return log;
  Database db(log.path);
  db.busy_timeout(5000);
  Statement exists =
      db.prepare("select 1 from sqlite_master where type = 'table' and name = 'image_logs'");
  if (!exists.step()) {
    log.state = RunLog::State::NoTable;
    return log;
  }
  log.state = RunLog::State::Present;
  Statement q = db.prepare(
      "select ctime, flags, compresscount, maskcount, second, folder from image_logs "
      "order by ctime desc, rowid desc");
  while (q.step())
    log.runs.push_back({q.column_int(0), q.column_text(1), q.column_text(2), q.column_text(3),
                        q.column_text(4), q.column_text(5)});
  return log;
}

}  // namespace img_util
