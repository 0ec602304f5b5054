#include "service/store.h"

#include <algorithm>
#include <iostream>

#include "service/latin1.h"
#include "service/trace.h"

namespace cassardd {

using nlohmann::json;

namespace {

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

}  // namespace

Store::Store(const std::string& path) {
  try {
    open(path);
  } catch (...) {
    close();  // a store that would not open (a full disk) leaves no connection behind
    throw;
  }
}

void Store::open(const std::string& path) {
  w_ = openDb(path);
  exec(w_, "PRAGMA journal_mode = WAL");
  exec(w_, "PRAGMA synchronous = FULL");
  exec(w_, "PRAGMA foreign_keys = ON");
  createSchema(w_);
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
    if (closeDb(*db) != SQLITE_OK)
      fault += (fault.empty() ? "" : "; ") + std::string(sqlite3_errmsg(*db));
    *db = nullptr;
  }
  return fault;
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
  if (trace_) trace_->moved(j);
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
    Stmt s(w_, "SELECT id FROM jobs WHERE state = ? ORDER BY id");
    s.bind(1, std::string(stateName(JobState::Running)));
    while (s.step()) ids.push_back(s.i64(0));
  }
  for (int64_t id : ids) {
    finishLocked(id, JobState::Running, JobState::Uncertain);
    // Uncertain from now: the time it may stay so is counted from here.
    Stmt u(w_,
           "UPDATE jobs SET reason = ?, reason_code = 'service_stopped', "
           "reason_params = '{}', ended_at = ? WHERE id = ?");
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
  if (trace_)
    for (const Job& j : moved) trace_->moved(j);
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
      const bool same = sameRequest(j, kind, request);
      return {same ? Created::Same : Created::Conflict, std::move(j), std::nullopt};
    }
  }
  if (auto p = prunedByKey(w_, reg, key)) {
    const bool same = sameRequest(*p, kind, request);
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
           "?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  ins.bind(1, reg)
      .bind(2, key)
      .bind(3, kind)
      .bind(4, request)
      .bind(5, linesText(lines))
      .bind(6, std::string(stateName(JobState::Queued)))
      .bind(7, utcNow())
      .bind(8, extras.total)
      .bind(9, extras.change)
      .bind(10, extras.expiresAt);
  ins.step();
  const int64_t id = sqlite3_last_insert_rowid(w_);
  Stmt mark(w_, kRaiseMark);
  mark.bind(1, id);
  mark.step();
  // Its trace on the disk before its commit: a job the store forgets is still known.
  if (trace_) try {
      trace_->accepted(*jobById(w_, id));
    } catch (const StoreError& e) {
      std::lock_guard fl(writeFault_.m);
      writeFault_.text =
          "a job's trace could not be written at " + utcNow() + " (" + e.what() + ")";
      throw;
    }
  try {
    Job j = commitWithJobEvent(tx, id);
    return {Created::New, std::move(j), std::nullopt};
  } catch (const StoreError&) {
    if (trace_) trace_->withdrawn(id);  // not committed, not answered: its id is free again
    throw;
  }
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
         "SELECT id FROM jobs WHERE register = ? AND state = ? AND expires_at IS NOT NULL "
         "AND expires_at <= ? ORDER BY id");
  s.bind(1, reg).bind(2, std::string(stateName(JobState::Queued))).bind(3, now);
  std::vector<int64_t> ids;
  while (s.step()) ids.push_back(s.i64(0));
  return ids;
}

std::optional<std::string> Store::nextExpiry(const std::string& reg) {
  const ReadPool::Lease r_(readers_);
  Stmt s(r_, "SELECT min(expires_at) FROM jobs WHERE register = ? AND state = ?");
  s.bind(1, reg).bind(2, std::string(stateName(JobState::Queued)));
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
  // To the second, as the store's times begin: an end in that second is not before it.
  const std::string when =
      utcText((nowMs() / 1000 - static_cast<int64_t>(keepDays) * 86400) * 1000).substr(0, 19);
  // Only decided jobs: one in attention waits for a person however long that takes.
  const std::string finalStates = stateList(isFinal, ", ");
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
    Stmt s(w_, ("SELECT id, register, key, kind, request, state, receipt_number, created_at, "
                "ended_at FROM jobs WHERE state IN (" +
                finalStates + ") AND ended_at < ?")
                   .c_str());
    s.bind(1, when);
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
  Stmt d(w_, ("DELETE FROM jobs WHERE state IN (" + finalStates + ") AND ended_at < ?").c_str());
  d.bind(1, when);
  d.step();
  // Events are for clients catching up after a short absence; the jobs hold the history.
  Stmt e(w_, "DELETE FROM events WHERE id <= (SELECT max(id) FROM events) - 10000");
  e.step();
  tx.commit();
  ++changes_;
  return ids;
}

void Store::raiseJobIdMark(int64_t id) {
  std::lock_guard lock(wm_);
  Stmt s(w_, kRaiseMark);
  s.bind(1, id);
  s.step();
}

void Store::takeBack(const Job& j) {
  std::lock_guard lock(wm_);
  Tx tx(w_, &writeFault_);
  Stmt ins(w_,
           "INSERT INTO jobs (id, register, key, kind, request, lines, state, created_at, "
           "total_cents, change_cents, expires_at, receipt_number, reason, reason_code, "
           "reason_params, settled_by, ended_at, status_before, status_after, exit_status) "
           "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
           // A job the store knows (the same key) is brought to where its trace says.
           "ON CONFLICT (id) DO UPDATE SET state = excluded.state, "
           "receipt_number = excluded.receipt_number, reason = excluded.reason, "
           "reason_code = excluded.reason_code, reason_params = excluded.reason_params, "
           "settled_by = excluded.settled_by, ended_at = excluded.ended_at, "
           "status_before = coalesce(excluded.status_before, status_before), "
           "status_after = coalesce(excluded.status_after, status_after), "
           "exit_status = coalesce(excluded.exit_status, exit_status) "
           "WHERE register = excluded.register AND key = excluded.key");
  ins.bind(1, j.id)
      .bind(2, j.reg)
      .bind(3, j.key)
      .bind(4, j.kind)
      .bind(5, j.request)
      .bind(6, linesText(j.lines))
      .bind(7, std::string(stateName(j.state)))
      .bind(8, j.createdAt)
      .bind(9, j.total)
      .bind(10, j.change)
      .bind(11, j.expiresAt)
      .bind(12, j.receiptNumber)
      .bind(13, j.reason)
      .bind(14, j.reasonCode)
      .bind(15, jsonText(j.reasonParams))
      .bind(16, j.settledBy)
      .bind(17, j.endedAt)
      .bind(18, statusText(j.before))
      .bind(19, statusText(j.after))
      .bind(20, j.exitStatus ? std::optional<int64_t>(*j.exitStatus) : std::nullopt);
  ins.step();
  Stmt mark(w_, kRaiseMark);
  mark.bind(1, j.id);
  mark.step();
  commitWithJobEvent(tx, j.id);
}

}  // namespace cassardd
