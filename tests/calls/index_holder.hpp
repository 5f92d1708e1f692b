#pragma once
// Another process's hold on the calls' index, as a backup, a sqlite3 shell or a VACUUM takes it:
// a second connection to the same file that keeps the write lock until released (readers go on:
// the index is in WAL mode).

#include <sqlite3.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace quillon::test {

class IndexHolder {
 public:
  explicit IndexHolder(const std::filesystem::path& db) {
    if (sqlite3_open(db.c_str(), &db_) != SQLITE_OK) throw std::runtime_error("cannot open " + db.string());
    run("BEGIN EXCLUSIVE");
  }
  ~IndexHolder() { release(); }
  IndexHolder(const IndexHolder&) = delete;
  IndexHolder& operator=(const IndexHolder&) = delete;

  void release() {
    if (!db_) return;
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db_);
    db_ = nullptr;
  }

 private:
  void run(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db_));
  }
  sqlite3* db_ = nullptr;
};

}  // namespace quillon::test
