#include "service/http_conns.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace cassardd::http {

std::string ConnTable::addressOf(const sockaddr* addr) {
  char text[INET6_ADDRSTRLEN] = "";
  if (!addr) return text;
  if (addr->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text, sizeof text);
  else if (addr->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr, text, sizeof text);
  return text;
}

bool ConnTable::isLoopback(const sockaddr* addr) {
  if (!addr) return false;
  if (addr->sa_family == AF_INET)
    return (ntohl(reinterpret_cast<const sockaddr_in*>(addr)->sin_addr.s_addr) >> 24) == 127;
  if (addr->sa_family != AF_INET6) return false;
  const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr;
  if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
  return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
}

void ConnTable::shutLocked(Conn& c) {
  // The connection's thread sees the end of its socket and closes it.
  if (c.shut || c.fd < 0) return;
  ::shutdown(c.fd, SHUT_RDWR);
  c.shut = true;
  --live_;
}

bool ConnTable::admit(const sockaddr* addr, socklen_t) {
  std::lock_guard lock(m_);
  if (!isLoopback(addr)) {
    const auto it = perAddress_.find(addressOf(addr));
    if (it != perAddress_.end() && it->second >= policy_.perAddress) return false;
  }
  if (live_ < policy_.cap) return true;
  Conn* oldest = nullptr;
  for (auto& [k, c] : conns_)
    if (!c.busy && !c.shut && c.fd >= 0 && (!oldest || c.since < oldest->since)) oldest = &c;
  if (!oldest) return false;
  shutLocked(*oldest);
  return true;
}

void ConnTable::opened(const void* conn, int fd, const sockaddr* addr) {
  std::lock_guard lock(m_);
  Conn c{fd, false, false, Clock::now(), isLoopback(addr) ? std::string() : addressOf(addr)};
  if (!c.address.empty()) ++perAddress_[c.address];
  conns_[conn] = std::move(c);
  ++live_;
}

void ConnTable::closed(const void* conn) {
  std::lock_guard lock(m_);
  const auto it = conns_.find(conn);
  if (it == conns_.end()) return;
  if (!it->second.shut) --live_;
  if (const auto a = perAddress_.find(it->second.address); a != perAddress_.end())
    if (--a->second == 0) perAddress_.erase(a);
  conns_.erase(it);
}

void ConnTable::busy(const void* conn) {
  std::lock_guard lock(m_);
  if (auto it = conns_.find(conn); it != conns_.end()) it->second.busy = true;
}

void ConnTable::idle(const void* conn) {
  std::lock_guard lock(m_);
  if (auto it = conns_.find(conn); it != conns_.end()) {
    it->second.busy = false;
    it->second.since = Clock::now();
  }
}

std::size_t ConnTable::reap(std::chrono::milliseconds bound, std::chrono::milliseconds pressedBound,
                            unsigned pressure) {
  const auto now = Clock::now();
  std::lock_guard lock(m_);
  const auto limit = conns_.size() > pressure ? pressedBound : bound;
  for (auto& [k, c] : conns_)
    if (!c.busy && now - c.since > limit) shutLocked(c);
  return conns_.size();
}

std::size_t ConnTable::size() const {
  std::lock_guard lock(m_);
  return conns_.size();
}

void ConnTable::clear() {
  std::lock_guard lock(m_);
  conns_.clear();
  perAddress_.clear();
  live_ = 0;
}

}  // namespace cassardd::http
