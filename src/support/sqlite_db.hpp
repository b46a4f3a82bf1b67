// Small RAII layer over sqlite3: a connection and a prepared statement.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "img_util/value.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace img_util {

class Statement;

class Database {
 public:
  // Opens (creating when absent) the database file. Throws DatabaseError naming the file.
  explicit Database(const std::string& path);
  // Waits up to `ms` milliseconds for another connection's lock before failing.
  void busy_timeout(int ms);
  // Runs one or more statements without results.
  void exec(const std::string& sql);
  Statement prepare(const std::string& sql);
  // The rowid of the last row this connection inserted.
  int64_t last_insert_rowid() const;
  // Closes now, reporting a failure; the destructor closes silently otherwise.
  void close();
  sqlite3* get() const { return db_.get(); }
  const std::string& path() const { return path_; }

 private:
  struct Closer {
    void operator()(sqlite3* db) const noexcept;
  };
  [[noreturn]] void fail(const std::string& what) const;
  std::unique_ptr<sqlite3, Closer> db_;
  std::string path_;
  friend class Statement;
};

class Statement {
 public:
  // Binds parameter `index` (1-based) by the value's own type: int, float, text, bytes as blob,
  // bool as int, none as NULL. Containers and handles are a TypeError.
  void bind(int index, const Value& v);
  // Steps once; true while rows come back.
  bool step();
  int64_t column_int(int col) const;
  std::string column_text(int col) const;
  bool column_is_null(int col) const;

 private:
  friend class Database;
  Statement(const Database& db, sqlite3_stmt* stmt) : db_(&db), stmt_(stmt) {}
  struct Finalizer {
    void operator()(sqlite3_stmt* s) const noexcept;
  };
  const Database* db_;
  std::unique_ptr<sqlite3_stmt, Finalizer> stmt_;
};

}  // namespace img_util
