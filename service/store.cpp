#include "service/store.h"

#include <fcntl.h>
#include <gnutls/crypto.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <thread>

#include "service/receipt.h"

namespace cassardd {

using nlohmann::json;

std::string utcNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::tm tm{};
  gmtime_r(&tv.tv_sec, &tm);
  char buf[40];
  const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(tv.tv_usec / 1000));
  return buf;
}

std::string jsonText(const json& j) {
  try {
    return j.dump();
  } catch (const json::type_error&) {
    const std::string text = j.dump(-1, ' ', false, json::error_handler_t::replace);
    std::cerr << "cassardd: a text that is not UTF-8, written with U+FFFD: " << text.substr(0, 300)
              << std::endl;
    return text;
  }
}

namespace {

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS jobs (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  register TEXT NOT NULL,
  key TEXT NOT NULL,
  kind TEXT NOT NULL,
  request TEXT NOT NULL,
  lines TEXT NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('queued','running','done','failed','uncertain','attention')),
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

constexpr const char* kRaiseMark =
    "INSERT INTO meta (name, value) VALUES ('job_id_mark', ?1) "
    "ON CONFLICT (name) DO UPDATE SET value = max(value, excluded.value)";

constexpr const char* kPrunedColumns =
    "id, register, key, kind, state, receipt_number, fingerprint, created_at, ended_at, "
    "pruned_at";

constexpr const char* kJobColumns =
    "id, register, key, kind, request, lines, state, exit_status, failed_line, meaning, "
    "register_text, receipt_number, reason, console, dump_log, files, status_before, "
    "status_after, created_at, started_at, ended_at, total_cents, change_cents, settled_by, "
    "expires_at, reason_code, reason_params, note";

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

// One prepared statement; binds by position from 1, reads columns from 0.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) != SQLITE_OK) {
      throw StoreError(std::string("prepare: ") + sqlite3_errmsg(db));
    }
  }
  ~Stmt() { sqlite3_finalize(s_); }
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
};

}  // namespace

// A write transaction; rolled back unless committed.
class Tx {
 public:
  // With `fault`: a commit that fails on the disk or the file is told there, and one that
  // succeeds clears it. (A job's pages reach the disk at its commit.)
  explicit Tx(sqlite3* db, Store::WriteFault* fault = nullptr) : db_(db), fault_(fault) {
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
  Store::WriteFault* fault_;
  bool done_ = false;
};

namespace {

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

std::optional<RegisterStatus> statusColumn(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return parseStatus(*text);
}

std::optional<std::string> statusText(const std::optional<RegisterStatus>& s) {
  if (!s) return std::nullopt;
  return jsonText(statusJson(*s));
}

std::string linesText(const std::vector<std::string>& lines) {
  json a = json::array();
  for (const std::string& l : lines) a.push_back(fromLatin1(l));
  return jsonText(a);
}

std::string filesText(const std::vector<FileInfo>& files) {
  json a = json::array();
  for (const FileInfo& f : files) a.push_back({{"name", f.name}, {"size", f.size}});
  return jsonText(a);
}

Job readJob(const Stmt& s) {
  Job j;
  j.id = s.i64(0);
  j.reg = s.text(1);
  j.key = s.text(2);
  j.kind = s.text(3);
  j.request = s.text(4);
  for (const json& l : json::parse(s.text(5)))
    j.lines.push_back(toLatin1(l.get<std::string>()).value_or(""));
  j.state = stateFromName(s.text(6)).value_or(JobState::Attention);
  j.exitStatus = s.optInt(7);
  j.failedLine = s.optInt(8);
  j.meaning = s.optText(9);
  j.registerText = s.optText(10);
  j.receiptNumber = s.optText(11);
  j.reason = s.optText(12);
  j.console = s.text(13);
  j.dumpLog = s.text(14);
  for (const json& f : json::parse(s.text(15)))
    j.files.push_back({f["name"].get<std::string>(), f["size"].get<int64_t>()});
  j.before = statusColumn(s.optText(16));
  j.after = statusColumn(s.optText(17));
  j.createdAt = s.text(18);
  j.startedAt = s.optText(19);
  j.endedAt = s.optText(20);
  if (!s.null(21)) j.total = s.i64(21);
  if (!s.null(22)) j.change = s.i64(22);
  j.settledBy = s.optText(23);
  j.expiresAt = s.optText(24);
  j.reasonCode = s.text(25);
  j.reasonParams = json::parse(s.text(26), nullptr, false);
  if (!j.reasonParams.is_object()) j.reasonParams = json::object();
  j.note = s.optText(27);
  return j;
}

std::optional<Job> jobById(sqlite3* db, int64_t id) {
  Stmt s(db, (std::string("SELECT ") + kJobColumns + " FROM jobs WHERE id = ?").c_str());
  s.bind(1, id);
  if (!s.step()) return std::nullopt;
  return readJob(s);
}

PrunedJob readPruned(const Stmt& s) {
  PrunedJob p;
  p.id = s.i64(0);
  p.reg = s.text(1);
  p.key = s.text(2);
  p.kind = s.text(3);
  p.state = stateFromName(s.text(4)).value_or(JobState::Attention);
  p.receiptNumber = s.optText(5);
  p.fingerprint = s.text(6);
  p.createdAt = s.text(7);
  p.endedAt = s.optText(8);
  p.prunedAt = s.text(9);
  return p;
}

std::optional<PrunedJob> prunedByKey(sqlite3* db, const std::string& reg, const std::string& key) {
  Stmt s(db,
         (std::string("SELECT ") + kPrunedColumns + " FROM pruned WHERE register = ? AND key = ?")
             .c_str());
  s.bind(1, reg).bind(2, key);
  if (!s.step()) return std::nullopt;
  return readPruned(s);
}

template <typename T>
json orNull(const std::optional<T>& v) {
  return v ? json(*v) : json(nullptr);
}

sqlite3* openDb(const std::string& path) {
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    const std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw StoreError(path + ": " + msg);
  }
  sqlite3_busy_timeout(db, 5000);
  return db;
}

}  // namespace

json jobSummaryJson(const Job& j) {
  // The methods a receipt pays with, in the request's order, for a list to show.
  json payments = json::array();
  if (j.kind == "receipt") {
    const json req = json::parse(j.request, nullptr, false);
    if (req.is_object() && req.contains("payments") && req["payments"].is_array())
      for (const json& p : req["payments"])
        if (p.is_object() && p.contains("method") && p["method"].is_string())
          payments.push_back(p["method"]);
  }
  return {{"id", j.id},
          {"register", j.reg},
          {"key", j.key},
          {"kind", j.kind},
          {"state", std::string(stateName(j.state))},
          {"exitStatus", orNull(j.exitStatus)},
          {"meaning", orNull(j.meaning)},
          {"failedLine", orNull(j.failedLine)},
          {"receiptNumber", orNull(j.receiptNumber)},
          {"reason", orNull(j.reason)},
          {"reasonCode", j.reasonCode.empty() ? json(nullptr) : json(j.reasonCode)},
          {"reasonParams", j.reasonParams},
          {"settledBy", orNull(j.settledBy)},
          {"total", orNull(j.total)},
          {"change", orNull(j.change)},
          {"payments", payments},
          {"expiresAt", orNull(j.expiresAt)},
          {"createdAt", j.createdAt},
          {"startedAt", orNull(j.startedAt)},
          {"endedAt", orNull(j.endedAt)}};
}

json prunedJobJson(const PrunedJob& p) {
  return {{"id", p.id},
          {"register", p.reg},
          {"key", p.key},
          {"kind", p.kind},
          {"state", std::string(stateName(p.state))},
          {"receiptNumber", orNull(p.receiptNumber)},
          {"createdAt", p.createdAt},
          {"endedAt", orNull(p.endedAt)},
          {"prunedAt", p.prunedAt},
          {"pruned", true}};
}

std::string requestFingerprint(const std::string& kind, const std::string& request) {
  // The kind ends at the first NUL: no kind holds one, so no two pairs give one text.
  std::string text = kind;
  text.push_back('\0');
  text += request;
  unsigned char digest[32];
  if (gnutls_hash_fast(GNUTLS_DIG_SHA256, text.data(), text.size(), digest) != 0)
    throw StoreError("SHA-256 is not available");
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char b : digest) {
    out.push_back(hex[b >> 4]);
    out.push_back(hex[b & 15]);
  }
  return out;
}

json jobJson(const Job& j) {
  json out = jobSummaryJson(j);
  out["request"] = json::parse(j.request, nullptr, false);
  json lines = json::array();
  for (const std::string& l : j.lines) lines.push_back(fromLatin1(l));
  out["lines"] = lines;
  out["console"] = j.console;
  out["dumpLog"] = j.dumpLog;
  out["registerText"] = orNull(j.registerText);
  out["note"] = orNull(j.note);
  json files = json::array();
  for (const FileInfo& f : j.files)
    files.push_back({{"name", f.name},
                     {"size", f.size},
                     {"url", "/v1/jobs/" + std::to_string(j.id) + "/files/" + f.name}});
  out["files"] = files;
  out["statusBefore"] = j.before ? statusJson(*j.before) : json(nullptr);
  out["statusAfter"] = j.after ? statusJson(*j.after) : json(nullptr);
  return out;
}

Store::Store(const std::string& path) {
  w_ = openDb(path);
  exec("PRAGMA journal_mode = WAL");
  exec("PRAGMA synchronous = FULL");
  exec("PRAGMA foreign_keys = ON");
  exec(kSchema);
  migrate();
  // A store from before the mark was kept: the ids it has given are the mark.
  exec(
      "INSERT INTO meta (name, value) SELECT 'job_id_mark', max(coalesce((SELECT max(id) FROM "
      "jobs), 0), coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'jobs'), 0)) "
      "WHERE true ON CONFLICT (name) DO UPDATE SET value = max(value, excluded.value)");
  readers_.start(
      [path] {
        sqlite3* db = openDb(path);
        sqlite3_exec(db, "PRAGMA query_only = ON; PRAGMA cache_size = -512", nullptr, nullptr,
                     nullptr);
        return db;
      },
      8);
  c_ = openDb(path);
  sqlite3_exec(c_, "PRAGMA query_only = ON", nullptr, nullptr, nullptr);
  lastEvent_ = lastEventId();
}

Store::~Store() {
  if (const std::string fault = close(); !fault.empty())
    std::cerr << "cassardd: the store did not close cleanly: " << fault << std::endl;
}

std::string Store::close() {
  std::string fault = readers_.close();
  for (sqlite3** db : {&c_, &w_}) {
    if (!*db) continue;
    if (sqlite3_close(*db) != SQLITE_OK)
      fault += (fault.empty() ? "" : "; ") + std::string(sqlite3_errmsg(*db));
    *db = nullptr;
  }
  return fault;
}

void Store::migrate() {
  for (const auto& [table, column, definition] : kAddedColumns) {
    bool present = false;
    {
      Stmt s(
          w_,
          (std::string("SELECT 1 FROM pragma_table_info('") + table + "') WHERE name = ?").c_str());
      s.bind(1, std::string(column));
      present = s.step();
    }
    if (!present)
      exec((std::string("ALTER TABLE ") + table + " ADD COLUMN " + column + " " + definition)
               .c_str());
  }
}

void Store::exec(const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(w_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    const std::string msg = err ? err : "?";
    sqlite3_free(err);
    throw StoreError(msg);
  }
}

int64_t Store::appendEventLocked(const std::string& type, const std::string& data) {
  Stmt s(w_, "INSERT INTO events (type, data, at) VALUES (?, ?, ?)");
  s.bind(1, type).bind(2, data).bind(3, utcNow());
  s.step();
  return sqlite3_last_insert_rowid(w_);
}

Job Store::commitWithJobEvent(Tx& tx, int64_t id) {
  Job j = *jobById(w_, id);
  const int64_t ev = appendEventLocked("job", jsonText(jobSummaryJson(j)));
  tx.commit();
  ++changes_;
  published(ev);
  return j;
}

void Store::published(int64_t ev) {
  {
    std::lock_guard el(em_);
    lastEvent_ = ev;
  }
  ecv_.notify_all();
}

void Store::wake() {
  // Taking the lock orders this after a waiter's look at its stop flag: it either sees
  // the flag or is already waiting, and is woken.
  { std::lock_guard lock(em_); }
  ecv_.notify_all();
}

std::vector<Job> Store::recoverRunning() {
  std::vector<Job> moved;
  std::lock_guard lock(wm_);
  Tx tx(w_, &writeFault_);
  std::vector<int64_t> ids;
  {
    Stmt s(w_, "SELECT id FROM jobs WHERE state = 'running' ORDER BY id");
    while (s.step()) ids.push_back(s.i64(0));
  }
  for (int64_t id : ids) {
    // Uncertain from now: the time it may stay so is counted from here.
    Stmt u(w_,
           "UPDATE jobs SET state = 'uncertain', reason = ?, reason_code = 'service_stopped', "
           "reason_params = '{}', ended_at = ? WHERE id = ? AND state = 'running'");
    u.bind(1, std::string("the service stopped while this job ran; it is settled from the register "
                          "as soon as it can be read"))
        .bind(2, utcNow())
        .bind(3, id);
    u.step();
    Job j = *jobById(w_, id);
    appendEventLocked("job", jsonText(jobSummaryJson(j)));
    moved.push_back(std::move(j));
  }
  tx.commit();
  ++changes_;
  if (!moved.empty()) {
    std::lock_guard el(em_);
    lastEvent_ = sqlite3_last_insert_rowid(w_);
  }
  ecv_.notify_all();
  return moved;
}

Store::CreateResult Store::create(const std::string& reg, const std::string& key,
                                  const std::string& kind, const std::string& request,
                                  const std::vector<std::string>& lines, const JobExtras& extras) {
  std::lock_guard lock(wm_);
  Tx tx(w_, &writeFault_);
  {
    Stmt s(w_, (std::string("SELECT ") + kJobColumns + " FROM jobs WHERE register = ? AND key = ?")
                   .c_str());
    s.bind(1, reg).bind(2, key);
    if (s.step()) {
      Job j = readJob(s);
      const bool same = j.kind == kind && j.request == request;
      return {same ? Created::Same : Created::Conflict, std::move(j), std::nullopt};
    }
  }
  if (auto p = prunedByKey(w_, reg, key)) {
    const bool same = p->fingerprint == requestFingerprint(kind, request);
    return {same ? Created::Same : Created::Conflict, Job{}, std::move(p)};
  }
  // Above every id given before, pruned jobs' included: a job's directory is never
  // another job's.
  Stmt ins(w_,
           "INSERT INTO jobs (id, register, key, kind, request, lines, state, created_at, "
           "total_cents, change_cents, expires_at) "
           "VALUES (max(coalesce((SELECT max(id) FROM jobs), 0), "
           "coalesce((SELECT value FROM meta WHERE name = 'job_id_mark'), 0), "
           "coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'jobs'), 0)) + 1, "
           "?, ?, ?, ?, ?, 'queued', ?, ?, ?, ?)");
  ins.bind(1, reg)
      .bind(2, key)
      .bind(3, kind)
      .bind(4, request)
      .bind(5, linesText(lines))
      .bind(6, utcNow())
      .bind(7, extras.total)
      .bind(8, extras.change)
      .bind(9, extras.expiresAt);
  ins.step();
  const int64_t id = sqlite3_last_insert_rowid(w_);
  Stmt mark(w_, kRaiseMark);
  mark.bind(1, id);
  mark.step();
  Job j = commitWithJobEvent(tx, id);
  return {Created::New, std::move(j), std::nullopt};
}

std::optional<Job> Store::get(int64_t id) {
  const ReadPool::Lease r_(readers_);
  return jobById(r_, id);
}

std::optional<Job> Store::find(const std::string& reg, const std::string& key) {
  const ReadPool::Lease r_(readers_);
  Stmt s(
      r_,
      (std::string("SELECT ") + kJobColumns + " FROM jobs WHERE register = ? AND key = ?").c_str());
  s.bind(1, reg).bind(2, key);
  if (!s.step()) return std::nullopt;
  return readJob(s);
}

std::optional<PrunedJob> Store::findPruned(const std::string& reg, const std::string& key) {
  const ReadPool::Lease r_(readers_);
  return prunedByKey(r_, reg, key);
}

std::vector<Job> Store::list(const Filter& f) {
  std::string sql = std::string("SELECT ") + kJobColumns + " FROM jobs WHERE 1";
  if (f.reg) sql += " AND register = ?1";
  if (f.state) sql += " AND state = ?2";
  if (f.before) sql += " AND id < ?3";
  if (f.text || f.cents) {
    // A receipt number reads as typed or without its leading zeros ("125" finds "0125").
    sql +=
        " AND (receipt_number = ?5 OR ltrim(receipt_number, '0') = ltrim(?5, '0') OR key = ?5"
        " OR total_cents = ?6)";
  }
  if (f.from) sql += " AND created_at >= ?7";
  if (f.to) sql += " AND created_at < ?8";
  sql += " ORDER BY id DESC LIMIT ?4";
  const ReadPool::Lease r_(readers_);
  Stmt s(r_, sql.c_str());
  if (f.reg) s.bind(1, *f.reg);
  if (f.state) s.bind(2, std::string(stateName(*f.state)));
  if (f.before) s.bind(3, *f.before);
  s.bind(4, static_cast<int64_t>(f.limit));
  s.bind(5, f.text).bind(6, f.cents).bind(7, f.from).bind(8, f.to);
  std::vector<Job> out;
  while (s.step()) out.push_back(readJob(s));
  return out;
}

std::optional<Job> Store::next(const std::string& reg, JobState state,
                               const std::optional<std::string>& kind) {
  const ReadPool::Lease r_(readers_);
  Stmt s(r_, (std::string("SELECT ") + kJobColumns +
              " FROM jobs WHERE register = ?1 AND state = ?2 AND (?3 IS NULL OR kind = ?3) "
              "ORDER BY id LIMIT 1")
                 .c_str());
  s.bind(1, reg).bind(2, std::string(stateName(state))).bind(3, kind);
  if (!s.step()) return std::nullopt;
  return readJob(s);
}

int64_t Store::count(const std::string& reg, JobState state) {
  const ReadPool::Lease r_(readers_);
  Stmt s(r_, "SELECT count(*) FROM jobs WHERE register = ? AND state = ?");
  s.bind(1, reg).bind(2, std::string(stateName(state)));
  s.step();
  return s.i64(0);
}

Job Store::finishLocked(int64_t id, JobState from, JobState to) {
  if (!allowedMove(from, to))
    throw MoveRefused("job " + std::to_string(id) + ": no move from " +
                      std::string(stateName(from)) + " to " + std::string(stateName(to)));
  Stmt u(w_, "UPDATE jobs SET state = ? WHERE id = ? AND state = ?");
  u.bind(1, std::string(stateName(to))).bind(2, id).bind(3, std::string(stateName(from)));
  u.step();
  if (sqlite3_changes(w_) != 1)
    throw MoveRefused("job " + std::to_string(id) + " is not " + std::string(stateName(from)));
  return *jobById(w_, id);
}

Job Store::start(int64_t id, const std::optional<RegisterStatus>& before) {
  std::lock_guard lock(wm_);
  Tx tx(w_, &writeFault_);
  finishLocked(id, JobState::Queued, JobState::Running);
  Stmt u(w_, "UPDATE jobs SET started_at = ?, status_before = ? WHERE id = ?");
  u.bind(1, utcNow()).bind(2, statusText(before)).bind(3, id);
  u.step();
  Job j = commitWithJobEvent(tx, id);
  return j;
}

Job Store::finish(int64_t id, JobState from, JobState to, const RunResult* run,
                  const std::optional<RegisterStatus>& after, const std::string& reason,
                  const std::optional<std::string>& receiptNumber) {
  Verdict v;
  v.reason = reason;
  v.receiptNumber = receiptNumber;
  return finish(id, from, to, run, after, v);
}

Job Store::finish(int64_t id, JobState from, JobState to, const RunResult* run,
                  const std::optional<RegisterStatus>& after, const Verdict& v) {
  if (to == JobState::Queued || to == JobState::Running)
    throw MoveRefused("job " + std::to_string(id) + ": a move to " + std::string(stateName(to)) +
                      " is not an outcome");
  std::lock_guard lock(wm_);
  Tx tx(w_, &writeFault_);
  const Job was = finishLocked(id, from, to);
  if (run) {
    // cassard names the line of the file it read; a line the request does not have (the
    // file was not what the job wrote) points at nothing, and is not kept.
    std::optional<int64_t> failedLine;
    if (run->failedLine && *run->failedLine >= 1 &&
        static_cast<std::size_t>(*run->failedLine) <= was.lines.size())
      failedLine = *run->failedLine;
    Stmt u(w_,
           "UPDATE jobs SET exit_status = ?, failed_line = ?, meaning = ?, register_text = ?, "
           "console = ?, dump_log = ?, files = ?, status_before = coalesce(?, status_before) "
           "WHERE id = ?");
    u.bind(1, run->exitStatus.has_value() ? std::optional<int64_t>(*run->exitStatus) : std::nullopt)
        .bind(2, failedLine)
        .bind(3, run->meaning)
        .bind(4, run->registerText)
        .bind(5, run->console)
        .bind(6, run->dumpLog)
        .bind(7, filesText(run->files))
        .bind(8, statusText(run->before))
        .bind(9, id);
    u.step();
  }
  Stmt u(w_,
         "UPDATE jobs SET status_after = coalesce(?, status_after), reason = ?, "
         "receipt_number = ?, ended_at = ?, reason_code = ?, reason_params = ?, settled_by = ?, "
         "note = coalesce(?, note) WHERE id = ?");
  // A job's run is over once it leaves running: ended_at is when it reached the state it
  // is in (an uncertain job's time limit counts from it).
  const bool final = isFinal(to);
  u.bind(1, statusText(after))
      .bind(2, v.reason)
      .bind(3, v.receiptNumber)
      .bind(4, utcNow())
      .bind(5, v.reasonCode)
      .bind(6, jsonText(v.reasonParams.is_object() ? v.reasonParams : json::object()))
      .bind(7, final ? std::optional<std::string>(v.settledBy.value_or("run")) : std::nullopt)
      .bind(8, v.note)
      .bind(9, id);
  u.step();
  Job j = commitWithJobEvent(tx, id);
  return j;
}

Job Store::requeue(int64_t id, JobState from, const RunResult* run) {
  std::lock_guard lock(wm_);
  Tx tx(w_);
  finishLocked(id, from, JobState::Queued);
  // Nothing was sent: the job is as it was before its turn, with the run's console and
  // dump log kept to say why it went back.
  Stmt u(w_,
         "UPDATE jobs SET started_at = NULL, ended_at = NULL, status_before = NULL, "
         "status_after = NULL, reason = NULL, reason_code = '', reason_params = '{}', "
         "exit_status = ?, console = ?, dump_log = ? WHERE id = ?");
  u.bind(1, run && run->exitStatus ? std::optional<int64_t>(*run->exitStatus) : std::nullopt)
      .bind(2, run ? run->console : std::string())
      .bind(3, run ? run->dumpLog : std::string())
      .bind(4, id);
  u.step();
  return commitWithJobEvent(tx, id);
}

std::vector<int64_t> Store::expiredQueued(const std::string& reg, const std::string& now) {
  const ReadPool::Lease r_(readers_);
  Stmt s(r_,
         "SELECT id FROM jobs WHERE register = ? AND state = 'queued' AND expires_at IS NOT NULL "
         "AND expires_at <= ? ORDER BY id");
  s.bind(1, reg).bind(2, now);
  std::vector<int64_t> ids;
  while (s.step()) ids.push_back(s.i64(0));
  return ids;
}

std::optional<std::string> Store::nextExpiry(const std::string& reg) {
  const ReadPool::Lease r_(readers_);
  Stmt s(r_, "SELECT min(expires_at) FROM jobs WHERE register = ? AND state = 'queued'");
  s.bind(1, reg);
  s.step();
  return s.optText(0);
}

RegisterRow Store::registerRow(const std::string& reg) {
  const ReadPool::Lease r_(readers_);
  Stmt s(r_,
         "SELECT held_reason, held_job, last_status, last_status_at, held_code, held_params FROM "
         "registers WHERE name = ?");
  s.bind(1, reg);
  RegisterRow row;
  if (!s.step()) return row;
  if (!s.null(0)) {
    row.held = Held{s.text(0), s.null(1) ? std::nullopt : std::optional<int64_t>(s.i64(1)),
                    s.text(4), json::parse(s.text(5), nullptr, false)};
    if (!row.held->reasonParams.is_object()) row.held->reasonParams = json::object();
  }
  row.lastStatus = statusColumn(s.optText(2));
  row.lastStatusAt = s.optText(3);
  return row;
}

void Store::setHeld(const std::string& reg, const std::optional<Held>& held) {
  std::lock_guard lock(wm_);
  Stmt s(w_,
         "INSERT INTO registers (name, held_reason, held_job, held_code, held_params) VALUES (?1, "
         "?2, ?3, ?4, ?5) ON CONFLICT (name) DO UPDATE SET held_reason = ?2, held_job = ?3, "
         "held_code = ?4, held_params = ?5");
  s.bind(1, reg);
  s.bind(2, held ? std::optional<std::string>(held->reason) : std::nullopt);
  s.bind(3, held ? held->jobId : std::nullopt);
  s.bind(4, held ? held->reasonCode : std::string());
  s.bind(5, jsonText(held && held->reasonParams.is_object() ? held->reasonParams : json::object()));
  s.step();
}

void Store::setLastStatus(const std::string& reg, const RegisterStatus& st) {
  std::lock_guard lock(wm_);
  Relaxed relaxed(w_);
  Stmt s(w_,
         "INSERT INTO registers (name, last_status, last_status_at) VALUES (?1, ?2, ?3) "
         "ON CONFLICT (name) DO UPDATE SET last_status = ?2, last_status_at = ?3");
  s.bind(1, reg).bind(2, jsonText(statusJson(st))).bind(3, utcNow());
  s.step();
}

int64_t Store::appendEvent(const std::string& type, const json& data) {
  int64_t id;
  {
    std::lock_guard lock(wm_);
    Relaxed relaxed(w_);
    id = appendEventLocked(type, jsonText(data));
  }
  published(id);
  return id;
}

std::vector<Store::Event> Store::eventsAfter(int64_t id, int limit) {
  const ReadPool::Lease r_(readers_);
  Stmt s(r_, "SELECT id, type, data FROM events WHERE id > ? ORDER BY id LIMIT ?");
  s.bind(1, id).bind(2, static_cast<int64_t>(limit));
  std::vector<Event> out;
  while (s.step()) out.push_back({s.i64(0), s.text(1), s.text(2)});
  return out;
}

int64_t Store::lastEventId() {
  std::lock_guard lock(wm_);
  Stmt s(w_, "SELECT coalesce(max(id), 0) FROM events");
  s.step();
  return s.i64(0);
}

void Store::waitForEvent(int64_t id, std::chrono::milliseconds timeout,
                         const std::atomic<bool>& stop) {
  std::unique_lock lock(em_);
  ecv_.wait_for(lock, timeout, [&] { return lastEvent_ > id || stop.load(); });
}

std::vector<Store::Count> Store::countByState() {
  const ReadPool::Lease r_(readers_);
  Stmt s(r_, "SELECT register, state, count(*) FROM jobs GROUP BY register, state ORDER BY 1, 2");
  std::vector<Count> out;
  while (s.step()) out.push_back({s.text(0), s.text(1), s.i64(2)});
  return out;
}

std::vector<Store::Count> Store::countByExit() {
  const ReadPool::Lease r_(readers_);
  Stmt s(r_,
         "SELECT register, exit_status, count(*) FROM jobs WHERE exit_status IS NOT NULL "
         "GROUP BY register, exit_status ORDER BY 1, 2");
  std::vector<Count> out;
  while (s.step()) out.push_back({s.text(0), std::to_string(s.i64(1)), s.i64(2)});
  return out;
}

std::vector<int64_t> Store::prune(int keepDays) {
  const std::time_t cutoff = std::time(nullptr) - static_cast<std::time_t>(keepDays) * 86400;
  std::tm tm{};
  gmtime_r(&cutoff, &tm);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &tm);
  std::vector<int64_t> ids;
  std::lock_guard lock(wm_);
  Tx tx(w_, &writeFault_);
  {
    Stmt m(w_, "SELECT coalesce(max(id), 0) FROM jobs");
    m.step();
    Stmt raise(w_, kRaiseMark);
    raise.bind(1, m.i64(0));
    raise.step();
  }
  {
    Stmt s(w_,
           "SELECT id, register, key, kind, request, state, receipt_number, created_at, ended_at "
           "FROM jobs WHERE state IN ('done', 'failed', 'attention') AND ended_at < ?");
    s.bind(1, std::string(when));
    const std::string now = utcNow();
    while (s.step()) {
      ids.push_back(s.i64(0));
      Stmt keep(w_, (std::string("INSERT OR REPLACE INTO pruned (") + kPrunedColumns +
                     ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                        .c_str());
      keep.bind(1, s.i64(0))
          .bind(2, s.text(1))
          .bind(3, s.text(2))
          .bind(4, s.text(3))
          .bind(5, s.text(5))
          .bind(6, s.optText(6))
          .bind(7, requestFingerprint(s.text(3), s.text(4)))
          .bind(8, s.text(7))
          .bind(9, s.optText(8))
          .bind(10, now);
      keep.step();
    }
  }
  Stmt d(w_, "DELETE FROM jobs WHERE state IN ('done', 'failed', 'attention') AND ended_at < ?");
  d.bind(1, std::string(when));
  d.step();
  // Events are for clients catching up after a short absence; the jobs hold the history.
  Stmt e(w_, "DELETE FROM events WHERE id <= (SELECT max(id) FROM events) - 10000");
  e.step();
  tx.commit();
  ++changes_;
  return ids;
}

std::string Store::integrityCheck() {
  std::lock_guard lock(wm_);
  Stmt s(w_, "PRAGMA integrity_check");
  std::string out;
  while (s.step()) out += (out.empty() ? "" : "; ") + s.text(0);
  return out;
}

std::string Store::quickCheck() {
  std::lock_guard lock(hm_);
  Stmt s(c_, "PRAGMA quick_check");
  std::string out;
  while (s.step()) out += (out.empty() ? "" : "; ") + s.text(0);
  return out;
}

std::string Store::fault() {
  using namespace std::chrono_literals;
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard hl(hm_);
  if (!checked_ || now - probedAt_ >= 1s) {
    probedAt_ = now;
    try {
      std::lock_guard lock(wm_);
      Tx tx(w_);  // its success says nothing of the writes that failed
      Stmt p(w_, "INSERT INTO probe (id, at) VALUES (1, ?) ON CONFLICT (id) DO UPDATE SET at = ?1");
      p.bind(1, utcNow());
      p.step();
      Stmt n(w_, "SELECT count(*) FROM jobs");
      n.step();
      tx.commit();
      probeFault_.clear();
    } catch (const StoreError& e) {
      probeFault_ = std::string("the store cannot be written: ") + e.what();
    }
  }
  if (!checked_ || now - checkedAt_ >= 60s) {
    checkedAt_ = now;
    try {
      Stmt s(c_, "PRAGMA quick_check");
      std::string out;
      while (s.step()) out += (out.empty() ? "" : "; ") + s.text(0);
      std::replace(out.begin(), out.end(), '\n', ' ');
      checkFault_ = out == "ok" ? "" : "the store is damaged: " + out.substr(0, 500);
    } catch (const StoreError& e) {
      checkFault_ = std::string("the store cannot be checked: ") + e.what();
    }
  }
  checked_ = true;
  if (!checkFault_.empty()) return checkFault_;
  if (!probeFault_.empty()) return probeFault_;
  // A store near its limits takes the probe's one small row and not a job's: the last
  // write of a job that failed counts until one succeeds.
  std::lock_guard wl(writeFault_.m);
  return writeFault_.text.empty() ? "" : "the store cannot be written: " + writeFault_.text;
}

std::vector<int64_t> Store::unknownJobs(const std::vector<int64_t>& ids,
                                        std::vector<int64_t>* pruned) {
  const ReadPool::Lease r_(readers_);
  std::vector<int64_t> unknown;
  for (int64_t id : ids) {
    Stmt s(r_,
           "SELECT EXISTS (SELECT 1 FROM jobs WHERE id = ?1), "
           "EXISTS (SELECT 1 FROM pruned WHERE id = ?1)");
    s.bind(1, id);
    s.step();
    if (s.i64(1) && pruned) pruned->push_back(id);
    if (!s.i64(0) && !s.i64(1)) unknown.push_back(id);
  }
  return unknown;
}

void Store::raiseJobIdMark(int64_t id) {
  std::lock_guard lock(wm_);
  Stmt s(w_, kRaiseMark);
  s.bind(1, id);
  s.step();
}

bool Store::alive() {
  try {
    const ReadPool::Lease r_(readers_);
    Stmt s(r_, "SELECT 1 FROM jobs LIMIT 1");
    s.step();
    return true;
  } catch (const StoreError&) {
    return false;
  }
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
      sqlite3_close(dst);
      sqlite3_close(src);
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
    Stmt check(dst, "PRAGMA quick_check");
    std::string out;
    while (check.step()) out += (out.empty() ? "" : "; ") + check.text(0);
    if (out != "ok") throw StoreError("the copy of " + from + " fails its check: " + out);
    Stmt jobs(dst, "SELECT count(*) FROM jobs");
    jobs.step();
    n.jobs = jobs.i64(0);
    Stmt pruned(dst, "SELECT count(*) FROM pruned");
    pruned.step();
    n.pruned = pruned.i64(0);
  }
  if (sqlite3_close(dst) != SQLITE_OK) throw failed(dst, tmp);
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
