#include "service/db.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace cassardd {

namespace {

constexpr const char* kSchemaHead = R"(
CREATE TABLE IF NOT EXISTS jobs (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  register TEXT NOT NULL,
  key TEXT NOT NULL,
  kind TEXT NOT NULL,
  request TEXT NOT NULL,
  lines TEXT NOT NULL,
  state TEXT NOT NULL CHECK (state IN ()";
// kSchemaHead, the states, then this.
constexpr const char* kSchemaTail = R"()),
  exit_status INTEGER,
  failed_line INTEGER,
  meaning TEXT,
  register_text TEXT,
  receipt_number TEXT,
  reason TEXT,
  console TEXT NOT NULL DEFAULT '',
  dump_log TEXT NOT NULL DEFAULT '',
  files TEXT NOT NULL DEFAULT '[]',
  status_before TEXT,
  status_after TEXT,
  created_at TEXT NOT NULL,
  started_at TEXT,
  ended_at TEXT,
  total_cents INTEGER,
  change_cents INTEGER,
  settled_by TEXT CHECK (settled_by IN ('run','register','person')),
  expires_at TEXT,
  reason_code TEXT NOT NULL DEFAULT '',
  reason_params TEXT NOT NULL DEFAULT '{}',
  note TEXT,
  UNIQUE (register, key)
);
CREATE INDEX IF NOT EXISTS jobs_by_register_state ON jobs (register, state, id);
CREATE INDEX IF NOT EXISTS jobs_by_state ON jobs (state, id);
CREATE TABLE IF NOT EXISTS registers (
  name TEXT PRIMARY KEY,
  held_reason TEXT,
  held_job INTEGER,
  held_code TEXT NOT NULL DEFAULT '',
  held_params TEXT NOT NULL DEFAULT '{}',
  last_status TEXT,
  last_status_at TEXT
);
CREATE TABLE IF NOT EXISTS events (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  type TEXT NOT NULL,
  data TEXT NOT NULL,
  at TEXT NOT NULL
);
-- The jobs prune removed: their keys stay taken, and say what became of the job.
CREATE TABLE IF NOT EXISTS pruned (
  register TEXT NOT NULL,
  key TEXT NOT NULL,
  id INTEGER NOT NULL UNIQUE,
  kind TEXT NOT NULL,
  state TEXT NOT NULL,
  receipt_number TEXT,
  fingerprint TEXT NOT NULL,
  created_at TEXT NOT NULL,
  ended_at TEXT,
  pruned_at TEXT NOT NULL,
  PRIMARY KEY (register, key)
);
-- job_id_mark: the highest job id ever given or seen on disk; the next is above it.
CREATE TABLE IF NOT EXISTS meta (
  name TEXT PRIMARY KEY,
  value INTEGER NOT NULL
);
-- One row that /healthz writes, to know that the store still takes writes.
CREATE TABLE IF NOT EXISTS probe (
  id INTEGER PRIMARY KEY CHECK (id = 1),
  at TEXT NOT NULL
);
)";

// Columns added since the first store; each (table, column, definition) is added where missing.
constexpr const char* kAddedColumns[][3] = {
    {"jobs", "total_cents", "INTEGER"},
    {"jobs", "change_cents", "INTEGER"},
    {"jobs", "settled_by", "TEXT CHECK (settled_by IN ('run','register','person'))"},
    {"jobs", "expires_at", "TEXT"},
    {"jobs", "reason_code", "TEXT NOT NULL DEFAULT ''"},
    {"jobs", "reason_params", "TEXT NOT NULL DEFAULT '{}'"},
    {"jobs", "note", "TEXT"},
    {"registers", "held_code", "TEXT NOT NULL DEFAULT ''"},
    {"registers", "held_params", "TEXT NOT NULL DEFAULT '{}'"},
};

}  // namespace

std::string stateList(bool (*keep)(JobState), const char* separator) {
  std::string out;
  for (const JobState st : allStates())
    if (keep(st))
      out += (out.empty() ? "'" : std::string(separator) + "'") + std::string(stateName(st)) + "'";
  return out;
}

namespace {

// The statements done with, by connection and text; a connection's go with it at close.
struct Kept {
  std::mutex m;
  std::unordered_map<sqlite3*, std::unordered_map<std::string, std::vector<sqlite3_stmt*>>> by;
};
Kept& kept() {
  static Kept* k = new Kept;  // statements of a connection closed at exit find it still there
  return *k;
}
// More of one text than this at once is a nesting: the extra ones are not kept.
constexpr std::size_t kKeptPerText = 4;

}  // namespace

Stmt::Stmt(sqlite3* db, const char* sql) : db_(db), sql_(sql) {
  {
    std::lock_guard lock(kept().m);
    auto& idle = kept().by[db][sql_];
    if (!idle.empty()) {
      s_ = idle.back();
      idle.pop_back();
      return;
    }
  }
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s_, nullptr) != SQLITE_OK) {
    const std::string why = sqlite3_errmsg(db);
    sqlite3_finalize(s_);
    throw StoreError("prepare: " + why);
  }
}

Stmt::~Stmt() {
  // A reset statement holds no lock and no row: kept, it is as new.
  sqlite3_reset(s_);
  sqlite3_clear_bindings(s_);
  {
    std::lock_guard lock(kept().m);
    // A connection closed meanwhile keeps nothing more.
    if (auto it = kept().by.find(db_); it != kept().by.end()) {
      auto& idle = it->second[sql_];
      if (idle.size() < kKeptPerText) {
        idle.push_back(s_);
        return;
      }
    }
  }
  sqlite3_finalize(s_);
}

int closeDb(sqlite3* db) {
  if (!db) return SQLITE_OK;
  {
    std::lock_guard lock(kept().m);
    if (auto it = kept().by.find(db); it != kept().by.end()) {
      for (auto& [sql, stmts] : it->second)
        for (sqlite3_stmt* st : stmts) sqlite3_finalize(st);
      kept().by.erase(it);
    }
  }
  return sqlite3_close(db);
}

sqlite3* openDb(const std::string& path) {
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    const std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
    closeDb(db);
    throw StoreError(path + ": " + msg);
  }
  sqlite3_busy_timeout(db, 5000);
  return db;
}

void exec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    const std::string msg = err ? err : "?";
    sqlite3_free(err);
    throw StoreError(msg);
  }
}

void createSchema(sqlite3* db) {
  exec(db, (kSchemaHead + stateList([](JobState) { return true; }) + kSchemaTail).c_str());
  migrate(db);
  // A store from before the mark was kept: the ids it has given are the mark.
  exec(db,
       "INSERT INTO meta (name, value) SELECT 'job_id_mark', max(coalesce((SELECT max(id) FROM "
       "jobs), 0), coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'jobs'), 0)) "
       "WHERE true ON CONFLICT (name) DO UPDATE SET value = max(value, excluded.value)");
}

void migrate(sqlite3* db) {
  for (const auto& [table, column, definition] : kAddedColumns) {
    bool present = false;
    {
      Stmt s(
          db,
          (std::string("SELECT 1 FROM pragma_table_info('") + table + "') WHERE name = ?").c_str());
      s.bind(1, std::string(column));
      present = s.step();
    }
    if (!present)
      exec(db, (std::string("ALTER TABLE ") + table + " ADD COLUMN " + column + " " + definition)
                   .c_str());
  }
}

std::string checkText(sqlite3* db, const char* pragma) {
  Stmt s(db, pragma);
  std::string out;
  while (s.step()) out += (out.empty() ? "" : "; ") + s.text(0);
  return out;
}

namespace {

void syncPath(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    const std::string why = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    throw StoreError("cannot sync " + path + ": " + why);
  }
  ::close(fd);
}

}  // namespace

BackupCount backupStore(const std::string& from, const std::string& to) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_regular_file(from, ec)) throw StoreError("there is no store at " + from);
  for (const char* side : {"", "-wal", "-shm"})
    if (fs::weakly_canonical(to, ec) == fs::weakly_canonical(from + side, ec))
      throw StoreError(to + " is the store itself: the backup goes to another file");
  const std::string tmp = to + ".tmp";
  fs::remove(tmp, ec);
  sqlite3* src = nullptr;
  sqlite3* dst = nullptr;
  // Both closed on every way out; the temporary file goes unless it was renamed.
  struct Closer {
    sqlite3*& src;
    sqlite3*& dst;
    const std::string& tmp;
    bool keep = false;
    ~Closer() {
      closeDb(dst);
      closeDb(src);
      std::error_code e;
      if (!keep) fs::remove(tmp, e);
    }
  } closer{src, dst, tmp};
  auto failed = [](sqlite3* db, const std::string& what) {
    return StoreError(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
  };
  if (sqlite3_open_v2(from.c_str(), &src, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    throw failed(src, from);
  sqlite3_busy_timeout(src, 5000);
  if (sqlite3_open_v2(tmp.c_str(), &dst, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK)
    throw failed(dst, tmp);
  sqlite3_backup* b = sqlite3_backup_init(dst, "main", src, "main");
  if (!b) throw failed(dst, "backup of " + from);
  // One step copies every page inside one read transaction: in WAL mode the service
  // writes on meanwhile, and the copy is the store as of that transaction's start.
  int rc;
  for (int tries = 0;; ++tries) {
    rc = sqlite3_backup_step(b, -1);
    if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || tries >= 100) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  sqlite3_backup_finish(b);
  if (rc != SQLITE_DONE)
    throw StoreError("backup of " + from + ": " + sqlite3_errstr(rc) + " (" + sqlite3_errmsg(src) +
                     ")");
  // The copy stands alone in one file, to be put in place of the store as it is.
  char* err = nullptr;
  if (sqlite3_exec(dst, "PRAGMA journal_mode = DELETE", nullptr, nullptr, &err) != SQLITE_OK) {
    const std::string msg = err ? err : "?";
    sqlite3_free(err);
    throw StoreError(tmp + ": " + msg);
  }
  BackupCount n;
  {
    const std::string out = checkText(dst, "PRAGMA quick_check");
    if (out != "ok") throw StoreError("the copy of " + from + " fails its check: " + out);
    Stmt jobs(dst, "SELECT count(*) FROM jobs");
    jobs.step();
    n.jobs = jobs.i64(0);
    Stmt pruned(dst, "SELECT count(*) FROM pruned");
    pruned.step();
    n.pruned = pruned.i64(0);
  }
  if (closeDb(dst) != SQLITE_OK) throw failed(dst, tmp);
  dst = nullptr;
  syncPath(tmp, O_RDONLY);
  if (std::rename(tmp.c_str(), to.c_str()) != 0)
    throw StoreError("cannot rename " + tmp + " to " + to + ": " + std::strerror(errno));
  closer.keep = true;
  const fs::path dir = fs::path(to).parent_path();
  syncPath(dir.empty() ? "." : dir.string(), O_RDONLY | O_DIRECTORY);
  return n;
}

}  // namespace cassardd
