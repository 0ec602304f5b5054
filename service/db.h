// SQLite's plumbing under the store: connections, statements, transactions, the schema
// and its migrations, checks, and the online backup. No job rule is decided here.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "service/job.h"
#include "service/when.h"

namespace cassardd {

struct StoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A connection to the store's file, read and write (created when missing), that waits up
// to 5 s for another connection's lock.
sqlite3* openDb(const std::string& path);
// Runs statements that give no rows; throws StoreError with what SQLite said.
void exec(sqlite3* db, const char* sql);
// The tables and indexes, created where missing; a store made by an earlier version gets
// the columns it lacks, and its job id mark.
void createSchema(sqlite3* db);
// Columns a store made by an earlier version lacks, added in place.
void migrate(sqlite3* db);
// What a PRAGMA check (integrity_check, quick_check) says, its rows joined by "; ":
// "ok" for a sound store.
std::string checkText(sqlite3* db, const char* pragma);
// The job states for which `keep` holds, as an SQL list: 'done','failed'.
std::string stateList(bool (*keep)(JobState), const char* separator = ",");

// Closes a connection and the statements kept for it: SQLite's result code.
int closeDb(sqlite3* db);

// One prepared statement; binds by position from 1, reads columns from 0. The store runs
// the same few dozen statements all day, and compiling one costs more than running it:
// a statement is kept for its connection once done with, reset, and taken again by the
// next Stmt of the same text on that connection.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& bind(int i, const std::string& v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Stmt& bind(int i, int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  template <typename T>
  Stmt& bind(int i, const std::optional<T>& v) {
    if (v) return bind(i, *v);
    sqlite3_bind_null(s_, i);
    return *this;
  }
  // True while there is a row.
  bool step() {
    const int rc = sqlite3_step(s_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw StoreError(std::string("step: ") + sqlite3_errmsg(db_));
  }
  bool null(int c) const { return sqlite3_column_type(s_, c) == SQLITE_NULL; }
  int64_t i64(int c) const { return sqlite3_column_int64(s_, c); }
  std::string text(int c) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, c));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(s_, c)))
             : std::string();
  }
  std::optional<std::string> optText(int c) const {
    return null(c) ? std::nullopt : std::optional<std::string>(text(c));
  }
  std::optional<int> optInt(int c) const {
    return null(c) ? std::nullopt : std::optional<int>(static_cast<int>(i64(c)));
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* s_ = nullptr;
  std::string sql_;  // its text, under which it is kept
};

// The last write of a job that failed on the disk or the file, until one commits.
struct WriteFault {
  std::mutex m;
  std::string text;
};

// A write transaction; rolled back unless committed.
class Tx {
 public:
  // With `fault`: a commit that fails on the disk or the file is told there, and one that
  // succeeds clears it. (A job's pages reach the disk at its commit.)
  explicit Tx(sqlite3* db, WriteFault* fault = nullptr) : db_(db), fault_(fault) {
    run("BEGIN IMMEDIATE");
  }
  ~Tx() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void commit() {
    try {
      run("COMMIT");
    } catch (const StoreError& e) {
      if (fault_ && (sqlite3_errcode(db_) & 0xff) != SQLITE_BUSY) {
        std::lock_guard lock(fault_->m);
        fault_->text = "a write failed at " + utcNow() + " (" + e.what() + ")";
      }
      throw;
    }
    done_ = true;
    if (fault_) {
      std::lock_guard lock(fault_->m);
      fault_->text.clear();
    }
  }

 private:
  void run(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
      const std::string msg = err ? err : "?";
      sqlite3_free(err);
      throw StoreError(std::string(sql) + ": " + msg);
    }
  }
  sqlite3* db_;
  WriteFault* fault_;
  bool done_ = false;
};

// Writes that are shown but never relied on (a register's event, its last status read)
// go without waiting for the disk; a job's every move and a hold do wait. In WAL mode the
// next full commit carries them to the disk anyway.
class Relaxed {
 public:
  explicit Relaxed(sqlite3* db) : db_(db) {
    sqlite3_exec(db_, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);
  }
  ~Relaxed() { sqlite3_exec(db_, "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr); }
  Relaxed(const Relaxed&) = delete;
  Relaxed& operator=(const Relaxed&) = delete;

 private:
  sqlite3* db_;
};

// An online copy of the store at `from` into `to` (through `to`.tmp, synced, then renamed):
// SQLite's backup API on a read-only connection, beside a running service. Returns the
// number of jobs and of pruned keys copied; throws StoreError naming the fault, leaving
// no `to` behind.
struct BackupCount {
  int64_t jobs = 0, pruned = 0;
};
BackupCount backupStore(const std::string& from, const std::string& to);

}  // namespace cassardd
