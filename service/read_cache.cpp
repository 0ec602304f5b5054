#include "service/read_cache.h"

#include <thread>

namespace cassardd {

PageCache::Text PageCache::get(const std::string& query, uint64_t version,
                               const std::function<std::string()>& build) {
  std::shared_ptr<Entry> e;
  {
    std::lock_guard lock(m_);
    // Queries are the consoles' few pages; one that searches for everything in turn must
    // not make the cache grow without end.
    if (entries_.size() >= 64 && !entries_.count(query)) entries_.clear();
    auto& slot = entries_[query];
    if (!slot) slot = std::make_shared<Entry>();
    e = slot;
  }
  std::lock_guard lock(e->building);
  if (!e->text || e->version < version) {
    e->text = std::make_shared<const std::string>(build());
    e->version = version;
  }
  return e->text;
}

bool Pacer::wait(std::chrono::milliseconds most) {
  std::chrono::steady_clock::time_point at;
  {
    std::lock_guard lock(m_);
    const auto now = std::chrono::steady_clock::now();
    at = std::max(now, next_);
    if (at - now > most) return false;
    next_ = at + gap_;
  }
  std::this_thread::sleep_until(at);
  return true;
}

nlohmann::json Recent::get(const std::function<nlohmann::json()>& take) {
  std::lock_guard lock(m_);
  const auto now = std::chrono::steady_clock::now();
  if (!taken_ || now - at_ >= age_) {
    value_ = take();
    at_ = now;
    taken_ = true;
  }
  return value_;
}

}  // namespace cassardd
