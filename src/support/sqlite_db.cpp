#include "support/sqlite_db.hpp"

#include <sqlite3.h>

#include "img_util/errors.hpp"

namespace img_util {

void Database::Closer::operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
void Statement::Finalizer::operator()(sqlite3_stmt* s) const noexcept { sqlite3_finalize(s); }

Database::Database(const std::string& path) : path_(path) {
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  db_.reset(raw);  // sqlite hands back a handle even on failure; it must be closed
  if (rc != SQLITE_OK) {
    throw DatabaseError(std::string(raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)) + ": " +
                        py_repr(std::string_view(path)));
  }
}

void Database::fail(const std::string& what) const {
  throw DatabaseError(what + ": " + sqlite3_errmsg(db_.get()) + " (" + path_ + ")");
}

void Database::busy_timeout(int ms) {
  if (sqlite3_busy_timeout(db_.get(), ms) != SQLITE_OK) fail("busy timeout");
}

void Database::exec(const std::string& sql) {
  if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) fail("query");
}

Statement Database::prepare(const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    fail("prepare");
  }
  return Statement(*this, stmt);
}

int64_t Database::last_insert_rowid() const { return sqlite3_last_insert_rowid(db_.get()); }

void Database::close() {
  if (!db_) return;
  if (sqlite3_close(db_.get()) != SQLITE_OK) fail("close");
  db_.release();  // closed above
}

void Statement::bind(int index, const Value& v) {
  sqlite3_stmt* s = stmt_.get();
  int rc = SQLITE_OK;
  switch (v.kind()) {
    case Value::Kind::None: rc = sqlite3_bind_null(s, index); break;
    case Value::Kind::Bool:
    case Value::Kind::Int: rc = sqlite3_bind_int64(s, index, v.as_int()); break;
    case Value::Kind::Float: rc = sqlite3_bind_double(s, index, v.as_number()); break;
    case Value::Kind::Text:
      rc = sqlite3_bind_text(s, index, v.as_text().data(), static_cast<int>(v.as_text().size()),
                             SQLITE_TRANSIENT);
      break;
    case Value::Kind::Bytes:
      rc = sqlite3_bind_blob(s, index, v.as_bytes().data.data(),
                             static_cast<int>(v.as_bytes().data.size()), SQLITE_TRANSIENT);
      break;
    default:
      throw TypeError("Error binding parameter " + std::to_string(index) + ": type '" +
                      v.type_name() + "' is not supported");
  }
  if (rc != SQLITE_OK) db_->fail("bind");
}

bool Statement::step() {
  const int rc = sqlite3_step(stmt_.get());
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_->fail("step");
}

int64_t Statement::column_int(int col) const { return sqlite3_column_int64(stmt_.get(), col); }

std::string Statement::column_text(int col) const {
  const auto* p = sqlite3_column_text(stmt_.get(), col);
  if (!p) return {};
  return std::string(reinterpret_cast<const char*>(p),
                     static_cast<size_t>(sqlite3_column_bytes(stmt_.get(), col)));
}

bool Statement::column_is_null(int col) const {
  return sqlite3_column_type(stmt_.get(), col) == SQLITE_NULL;
}

}  // namespace img_util
