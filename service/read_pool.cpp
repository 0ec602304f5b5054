#include "service/read_pool.h"

#include "service/db.h"

namespace cassardd {

void ReadPool::start(Open open, std::size_t most) {
  open_ = std::move(open);
  most_ = std::max<std::size_t>(most, 1);
  sqlite3* first = open_();  // a store that cannot be read fails at start, not later
  std::lock_guard lock(m_);
  all_.push_back(first);
  free_.push_back(first);
}

std::string ReadPool::close() {
  std::lock_guard lock(m_);
  std::string fault;
  for (sqlite3* db : all_)
    if (closeDb(db) != SQLITE_OK)
      fault += (fault.empty() ? "" : "; ") + std::string(sqlite3_errmsg(db));
  all_.clear();
  free_.clear();
  return fault;
}

sqlite3* ReadPool::take() {
  std::unique_lock lock(m_);
  if (free_.empty() && all_.size() < most_) {
    // Opened outside the lock would let two readers open past `most`; opening is quick.
    sqlite3* db = open_();
    all_.push_back(db);
    return db;
  }
  cv_.wait(lock, [this] { return !free_.empty(); });
  sqlite3* db = free_.back();
  free_.pop_back();
  return db;
}

void ReadPool::give(sqlite3* db) {
  {
    std::lock_guard lock(m_);
    free_.push_back(db);
  }
  cv_.notify_one();
}

ReadPool::Lease::Lease(ReadPool& pool) : pool_(pool), db_(pool.take()) {}

ReadPool::Lease::~Lease() {
  pool_.give(db_);
}

}  // namespace cassardd
