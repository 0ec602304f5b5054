// What the readers of the service share, so that eight consoles reading in a loop cost the
// store and the processor what one does:
//   - PageCache: an answer's text per query, built once per change of the store (the
//     store's change count says which), by one reader while the others wait for it;
//   - Recent: a figure that is dear to take (the state folder's size), taken again only
//     once it is older than its age;
//   - Pacer: whole pages are served one at a time, at most one per `gap`: a reader waits
//     its turn asleep, so readers in a loop never take the processor from a till's POST.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace cassardd {

class PageCache {
 public:
  using Text = std::shared_ptr<const std::string>;
  // The text for `query` as built at change `version` or later; `build` makes it when there
  // is none so recent (and must read the store only after `version` was taken).
  Text get(const std::string& query, uint64_t version, const std::function<std::string()>& build);

 private:
  struct Entry {
    std::mutex building;
    uint64_t version = 0;
    Text text;
  };
  std::mutex m_;
  std::map<std::string, std::shared_ptr<Entry>> entries_;
};

class Pacer {
 public:
  explicit Pacer(std::chrono::milliseconds gap) : gap_(gap) {}
  // False, at once, when the turn would come later than `most` from now.
  bool wait(std::chrono::milliseconds most);

 private:
  std::chrono::milliseconds gap_;
  std::mutex m_;
  std::chrono::steady_clock::time_point next_;
};

class Recent {
 public:
  explicit Recent(std::chrono::milliseconds age) : age_(age) {}
  nlohmann::json get(const std::function<nlohmann::json()>& take);

 private:
  std::chrono::milliseconds age_;
  std::mutex m_;
  std::chrono::steady_clock::time_point at_;
  nlohmann::json value_;
  bool taken_ = false;
};

}  // namespace cassardd
