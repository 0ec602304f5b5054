// The store's connections for reading. In WAL mode each reads its own snapshot beside the
// writer and the others: a till's look-up of its key never waits behind a page of 500 jobs
// being read for a console, nor a reader behind another. A connection is opened when all
// are lent, up to `most`; past that a reader waits for one to come back.
#pragma once

#include <sqlite3.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace cassardd {

class ReadPool {
 public:
  using Open = std::function<sqlite3*()>;
  // `open` makes a connection (read-only), and throws when it cannot.
  void start(Open open, std::size_t most);
  // Closes every connection (all must have come back); what SQLite said of those that would
  // not close, or empty.
  std::string close();

  // A connection lent for a scope; it reads as a sqlite3*.
  class Lease {
   public:
    explicit Lease(ReadPool& pool);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    operator sqlite3*() const { return db_; }

   private:
    ReadPool& pool_;
    sqlite3* db_;
  };

 private:
  sqlite3* take();
  void give(sqlite3* db);

  Open open_;
  std::size_t most_ = 1;
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<sqlite3*> free_;
  std::vector<sqlite3*> all_;
};

}  // namespace cassardd
