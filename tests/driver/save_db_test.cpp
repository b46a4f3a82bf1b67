// save_db: the table, which runs leave a row, and what the row holds.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <filesystem>

#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/run_log.hpp"
#include "support/fixtures.hpp"
#include "support/sqlite_db.hpp"

namespace img_util::test {
namespace {

struct Row {
  int64_t ctime, flags, maskcount, compresscount, second;
  std::string folder, records;
};

class SaveDb : public ::testing::Test {
 protected:
  std::string db_path() const { return basedir() + "/quorvane.sqlite3"; }
  std::vector<Row> rows() {
    Database db(db_path());
    Statement q = db.prepare(
        "select ctime, folder, flags, maskcount, compresscount, second, records from image_logs "
        "order by rowid");
    std::vector<Row> out;
    while (q.step())
      out.push_back({q.column_int(0), q.column_int(2), q.column_int(3), q.column_int(4),
                     q.column_int(5), q.column_text(1), q.column_text(6)});
    return out;
  }
  Value run_record(int masks, int compressed) {
    Value d = base_config("/srv/sites/图片", 2);
    d.set("masktext", "水印");
    d.at("result").set("maskcount", masks);
    d.at("result").set("compresscount", compressed);
    return d;
  }
  TempDir tmp;
};

TEST_F(SaveDb, NothingCountedLeavesOnlyTheEmptyTable) {
  IMAGES().save_db(run_record(0, 0));
  ASSERT_TRUE(fs::exists(db_path()));
  Database db(db_path());
  Statement q = db.prepare("select sql from sqlite_master where name = 'image_logs'");
  ASSERT_TRUE(q.step());
  EXPECT_EQ(q.column_text(0),
            "CREATE TABLE image_logs\n            (\n            ctime INT,\n"
            "            folder CHAR,\n            flags INT,\n            maskcount INT,\n"
            "            compresscount INT,\n            second INT,\n            records TEXT )");
  EXPECT_TRUE(rows().empty());
}

TEST_F(SaveDb, RowHoldsTheRunAndItsRecordAsPythonWouldWriteIt) {
  Value d = run_record(3, 0);
  d.at("result").set("ctime", 100.9);
  IMAGES().save_db(d);
  const auto r = rows();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].ctime, 100);
  EXPECT_EQ(r[0].folder, "/srv/sites/图片");
  EXPECT_EQ(r[0].flags, 2);
  EXPECT_EQ(r[0].maskcount, 3);
  EXPECT_EQ(r[0].compresscount, 0);
  const int64_t expected_second = static_cast<int64_t>(std::time(nullptr)) - 100;
  EXPECT_LE(std::llabs(r[0].second - expected_second), 2);
  EXPECT_EQ(r[0].records, to_json(d));
  EXPECT_NE(r[0].records.find(R"("masktext": "\u6c34\u5370")"), std::string::npos);
  EXPECT_NE(r[0].records.find(R"("ctime": 100.9)"), std::string::npos);
}

TEST_F(SaveDb, EachCallAppendsARow) {
  Value d = run_record(0, 2);
  IMAGES().save_db(d);
  IMAGES().save_db(d);
  const auto r = rows();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].records, r[1].records);
}

TEST_F(SaveDb, ReaderTellsAMissingLogATablelessOneAndTheRunsNewestFirst) {
  EXPECT_EQ(read_run_log().state, RunLog::State::Missing);
  {
    Database db(db_path());
    db.exec("create table other (x INT)");
  }
  EXPECT_EQ(read_run_log().state, RunLog::State::NoTable);

  Value older = run_record(1, 0);
  older.at("result").set("ctime", 1000);
  Value newer = run_record(0, 3);
  newer.at("result").set("ctime", 2000);
  IMAGES().save_db(older);
  IMAGES().save_db(newer);
  const RunLog log = read_run_log();
  EXPECT_EQ(log.state, RunLog::State::Present);
  EXPECT_EQ(log.path, db_path());
  ASSERT_EQ(log.runs.size(), 2u);
  EXPECT_EQ(log.runs[0].ctime, 2000);
  EXPECT_EQ(log.runs[0].compresscount, "3");
  EXPECT_EQ(log.runs[0].maskcount, "0");
  EXPECT_EQ(log.runs[0].flags, "2");
  EXPECT_EQ(log.runs[0].folder, "/srv/sites/图片");
  EXPECT_EQ(log.runs[1].ctime, 1000);
  EXPECT_EQ(log.runs[1].maskcount, "1");
}

TEST_F(SaveDb, CtimeConversion) {
  const struct {
    Value ctime;
    int64_t stored;
  } ok[] = {{Value("123"), 123}, {Value(" 77 "), 77}, {Value(-5.7), -5}, {Value(true), 1}};
  for (const auto& c : ok) {
    Value d = run_record(1, 0);
    d.at("result").set("ctime", c.ctime);
    IMAGES().save_db(d);
    EXPECT_EQ(rows().back().ctime, c.stored) << py_repr(c.ctime);
  }
  const size_t before = rows().size();
  for (const Value& bad : std::vector<Value>{Value("12.5"), Value(""), Value(std::nan(""))}) {
    Value d = run_record(1, 0);
    d.at("result").set("ctime", bad);
    EXPECT_THROW(IMAGES().save_db(d), ValueError) << py_repr(bad);
  }
  Value d = run_record(1, 0);
  d.at("result").set("ctime", Value());
  EXPECT_THROW(IMAGES().save_db(d), TypeError);
  EXPECT_EQ(rows().size(), before);
}

TEST_F(SaveDb, MissingKeysAndUnwritableRecordsWriteNoRow) {
  Value d = run_record(1, 1);
  d.erase("maskmode");
  EXPECT_THROW(IMAGES().save_db(d), KeyError);
  Value e = run_record(1, 1);
  e.set("raw", Bytes{"x"});
  EXPECT_THROW(IMAGES().save_db(e), TypeError);
  EXPECT_TRUE(rows().empty());
}

TEST_F(SaveDb, MissingPluginDirIsAnError) {
  set_plugin_dir(tmp / "nowhere");
  EXPECT_THROW(IMAGES().save_db(run_record(1, 1)), DatabaseError);
  set_plugin_dir(tmp.plugin());
}

}  // namespace
}  // namespace img_util::test
