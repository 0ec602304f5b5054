// The store's health: SQLite's own checks, the probe that finds the store or its folder
// unwritable before a job is accepted that could not be kept, and the job directories on
// the disk that the store does not know.

#include <algorithm>

#include "service/store.h"
#include "service/trace.h"
#include "service/when.h"

namespace cassardd {

std::string Store::integrityCheck() {
  std::lock_guard lock(wm_);
  return checkText(w_, "PRAGMA integrity_check");
}

std::string Store::quickCheck() {
  std::lock_guard lock(hm_);
  return checkText(c_, "PRAGMA quick_check");
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
      std::string out = checkText(c_, "PRAGMA quick_check");
      std::replace(out.begin(), out.end(), '\n', ' ');
      checkFault_ = out == "ok" ? "" : "the store is damaged: " + out.substr(0, 500);
    } catch (const StoreError& e) {
      checkFault_ = std::string("the store cannot be checked: ") + e.what();
    }
  }
  checked_ = true;
  if (!checkFault_.empty()) return checkFault_;
  if (!probeFault_.empty()) return probeFault_;
  if (trace_)
    if (std::string folder = trace_->fault(); !folder.empty()) return folder;
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

}  // namespace cassardd
