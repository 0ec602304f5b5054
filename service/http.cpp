#include "service/http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <malloc.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "service/http_conns.h"

namespace cassardd::http {

using Clock = std::chrono::steady_clock;

bool CaseLess::operator()(const std::string& a, const std::string& b) const {
  return strcasecmp(a.c_str(), b.c_str()) < 0;
}

std::string Request::get_header_value(const std::string& key) const {
  const auto it = headers.find(key);
  return it == headers.end() ? std::string() : it->second;
}

std::string Request::get_param_value(const std::string& key) const {
  const auto it = params.find(key);
  return it == params.end() ? std::string() : it->second;
}

bool DataSink::write(const char* data, std::size_t n) {
  pending.append(data, n);
  return is_writable();
}

bool DataSink::is_writable() const {
  // POLLRDHUP: the client sent its FIN. An event stream's client sends nothing else, so
  // that is the sign it has gone, even before a write would fail.
  pollfd p{fd_, POLLRDHUP, 0};
  if (::poll(&p, 1, 0) < 0) return errno == EINTR;
  return (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0;
}

void Response::set_header(const std::string& key, const std::string& value) {
  headers.erase(key);
  headers.emplace(key, value);
}

void Response::set_content(std::string content, const std::string& contentType) {
  body = std::move(content);
  set_header("Content-Type", contentType);
}

void Response::set_chunked_content_provider(const std::string& contentType, ContentProvider p,
                                            ContentProviderResourceReleaser r) {
  set_header("Content-Type", contentType);
  provider = std::move(p);
  releaser = std::move(r);
}

namespace {

struct Route {
  std::string method;
  std::regex pattern;
  Server::Handler handler;
};

// One request on its way through the access handler's calls.
struct Exchange {
  Request req;
  Response res;  // what the pre-routing handler set goes on to the route's handler
  int fd = -1;
  bool answered = false;
};

struct Stream {
  Stream(ContentProvider p, ContentProviderResourceReleaser r, int fd)
      : provider(std::move(p)), releaser(std::move(r)), sink(fd) {}
  ContentProvider provider;
  ContentProviderResourceReleaser releaser;
  DataSink sink;
  std::size_t offset = 0;
  bool ended = false;
  bool failed = false;
};

// libmicrohttpd calls this in the connection's own thread: it may block while the provider
// waits for something to send.
ssize_t readStream(void* cls, uint64_t, char* buf, std::size_t max) {
  auto* s = static_cast<Stream*>(cls);
  while (s->sink.pending.empty() && !s->ended) {
    try {
      if (!s->provider(s->offset, s->sink)) s->ended = true;
    } catch (const std::exception& e) {
      std::cerr << "cassardd: a streamed response failed: " << e.what() << std::endl;
      s->ended = s->failed = true;
    }
    if (!s->sink.is_writable()) {
      s->failed = true;
      return MHD_CONTENT_READER_END_WITH_ERROR;
    }
  }
  if (s->sink.pending.empty()) return MHD_CONTENT_READER_END_OF_STREAM;
  const std::size_t n = std::min(max, s->sink.pending.size());
  std::memcpy(buf, s->sink.pending.data(), n);
  s->sink.pending.erase(0, n);
  s->offset += n;
  return static_cast<ssize_t>(n);
}

void freeStream(void* cls) {
  auto* s = static_cast<Stream*>(cls);
  if (s->releaser) s->releaser(!s->failed);
  delete s;
}

MHD_Result collect(void* cls, MHD_ValueKind, const char* key, const char* value) {
  static_cast<std::multimap<std::string, std::string, CaseLess>*>(cls)->emplace(key ? key : "",
                                                                                value ? value : "");
  return MHD_YES;
}

MHD_Result collectParam(void* cls, MHD_ValueKind, const char* key, const char* value) {
  static_cast<Params*>(cls)->emplace(key ? key : "", value ? value : "");
  return MHD_YES;
}

// What makes a request's head unfit to be served, whatever libmicrohttpd let through: a Host
// missing or given twice (which name would the checks see?), and a header line folded onto
// the next (obs-fold), which libmicrohttpd joins to the header's name: a folded Host is a
// request without one, a continuation with a space leaves one in a name. Empty when sound.
std::string malformed(const Request& req, std::string& field) {
  if (req.headers.count("Host") != 1) {
    field = "Host";
    return "a request carries exactly one Host header, on one line";
  }
  for (const auto& [k, v] : req.headers) {
    const bool badName = k.empty() || k.find_first_of(" \t\r\n") != std::string::npos;
    if (badName || v.find_first_of("\r\n") != std::string::npos ||
        v.find('\0') != std::string::npos) {
      field = k;
      return "the header " + k + " is malformed or folded onto a second line";
    }
  }
  return {};
}

std::optional<unsigned long long> contentLength(const Request& req) {
  const std::string v = req.get_header_value("Content-Length");
  if (v.empty() || v.size() > 19 || !std::all_of(v.begin(), v.end(), ::isdigit))
    return std::nullopt;
  return std::stoull(v);
}

}  // namespace

struct Server::Impl {
  std::vector<Route> routes;
  HandlerWithResponse pre, body, error;
  ExceptionHandler exception;
  Limits limits;
  std::string certPem, keyPem;
  int listenFd = -1;
  bool ipv6 = false;

  // The connection this thread serves, once its request line is in: libmicrohttpd's own
  // refusals (431, 400) are then written in the API's words before its page (see log()).
  struct Current {
    Impl* impl = nullptr;
    MHD_Connection* c = nullptr;
    std::string path;
    std::string said;  // what libmicrohttpd last logged of this request
  };
  static thread_local Current current;

  std::mutex m;  // guards daemon, stopped, cv
  std::condition_variable cv;
  MHD_Daemon* daemon = nullptr;
  bool stopped = false;
  std::atomic<bool> running{false};

  ConnTable conns;
  std::thread reaper;
  std::atomic<bool> reaping{false};

  std::atomic<long> lastLog{0};

  static MHD_Result access(void* cls, MHD_Connection* c, const char* url, const char* method,
                           const char* version, const char* upload, std::size_t* size,
                           void** reqCls) {
    (void)version;
    return static_cast<Impl*>(cls)->onAccess(c, url, method, upload, size, reqCls);
  }

  static void notifyConnection(void* cls, MHD_Connection* c, void** socketContext,
                               MHD_ConnectionNotificationCode code) {
    (void)socketContext;
    auto* self = static_cast<Impl*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
      const MHD_ConnectionInfo* from =
          MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      self->conns.opened(c, info ? info->connect_fd : -1, from ? from->client_addr : nullptr);
    } else {
      self->conns.closed(c);
    }
  }

  static MHD_Result admit(void* cls, const sockaddr* addr, socklen_t len) {
    return static_cast<Impl*>(cls)->conns.admit(addr, len) ? MHD_YES : MHD_NO;
  }

  static void* uriLog(void* cls, const char* uri, MHD_Connection* c) {
    current = Current{static_cast<Impl*>(cls), c, uri ? uri : "", ""};
    return nullptr;
  }

  static void completed(void* cls, MHD_Connection* c, void** reqCls, MHD_RequestTerminationCode) {
    auto* self = static_cast<Impl*>(cls);
    delete static_cast<Exchange*>(*reqCls);
    *reqCls = nullptr;
    self->conns.idle(c);
  }

  static void log(void* cls, const char* fmt, va_list ap) {
    // libmicrohttpd says why it refused a connection; under a flood of them, once a second.
    auto* self = static_cast<Impl*>(cls);
    const long now =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch()).count();
    char line[512];
    std::vsnprintf(line, sizeof line, fmt, ap);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    // libmicrohttpd refuses a request it cannot parse (a head past its memory, a malformed
    // line) with a page of its own: the API's JSON error goes first, and the connection's
    // write side ends with it, so that page is never sent.
    static const char kRefusal[] = "Error processing request (HTTP response code is ";
    if (current.impl == self && text.rfind(kRefusal, 0) == 0) {
      Exchange ex;
      ex.req.path = current.path;
      if (const MHD_ConnectionInfo* info =
              MHD_get_connection_info(current.c, MHD_CONNECTION_INFO_CONNECTION_FD))
        ex.fd = info->connect_fd;
      ex.res.status = std::atoi(text.c_str() + sizeof kRefusal - 1);
      if (ex.res.status == 400 && !current.said.empty())
        ex.req.malformed = "the request is malformed: " + current.said;
      if (ex.fd >= 0 && ex.res.status >= 400) self->writeRaw(current.c, ex);
    } else if (current.impl == self) {
      current.said = text;
    }
    // A client that went away, or an event stream that ended with it, is no news.
    for (const char* usual : {"closed by remote side", "error generating response"})
      if (text.find(usual) != std::string::npos) return;
    if (self->lastLog.exchange(now) == now) return;
    std::cerr << "cassardd: http: " << text << std::endl;
  }

  void reap() {
    // After a flood of connections, each with its thread, the memory their threads took
    // from the allocator's arenas is given back once the connections are gone.
    // A second after the count fell, their threads have ended.
    std::size_t most = 0;
    std::optional<Clock::time_point> trimAt;
    while (reaping) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const std::size_t open = conns.reap(limits.requestTime, limits.pressedTime, limits.pressure);
      most = std::max(most, open);
      if (!trimAt && most >= 64 && open <= most / 8)
        trimAt = Clock::now() + std::chrono::seconds(1);
      if (trimAt && Clock::now() >= *trimAt) {
        ::malloc_trim(0);
        trimAt.reset();
        most = open;
      }
    }
  }

  MHD_Result onAccess(MHD_Connection* c, const char* url, const char* method, const char* upload,
                      std::size_t* size, void** reqCls) {
    auto* ex = static_cast<Exchange*>(*reqCls);
    if (!ex) {
      ex = new Exchange;
      *reqCls = ex;
      Request& req = ex->req;
      req.method = method;
      req.path = url;
      MHD_get_connection_values(c, MHD_HEADER_KIND, collect, &req.headers);
      MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, collectParam, &req.params);
      if (const MHD_ConnectionInfo* info =
              MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD))
        ex->fd = info->connect_fd;
      Response& res = ex->res;
      if (req.malformed = malformed(req, req.malformedField); !req.malformed.empty()) {
        res.status = 400;
        res.set_header("Connection", "close");
        return answer(c, *ex, res);
      }
      // A long path is refused before a pattern is matched over it.
      if (req.path.size() > limits.maxPath) {
        res.status = 414;
        return answer(c, *ex, res);
      }
      if (pre && pre(req, res) == HandlerResponse::Handled) return answer(c, *ex, res);
      if (const auto length = contentLength(req); length && *length > limits.maxBody) {
        res.status = 413;
        return answer(c, *ex, res);
      }
      return MHD_YES;
    }
    if (ex->answered) {
      *size = 0;
      return MHD_YES;
    }
    if (*size > 0) {
      // Counted as it comes, whatever the transfer encoding: past the limit nothing more
      // is kept, and the answer goes out at once.
      if (ex->req.body.size() + *size > limits.maxBody) {
        *size = 0;
        ex->req.body.clear();
        ex->req.body.shrink_to_fit();
        ex->res.status = 413;
        refuseMidBody(c, *ex);
        // The connection ends here: what the client still sends is never read.
        return MHD_NO;
      }
      ex->req.body.append(upload, *size);
      *size = 0;
      return MHD_YES;
    }
    conns.busy(c);
    dispatch(ex->req, ex->res);
    return answer(c, *ex, ex->res);
  }

  void dispatch(Request& req, Response& res) {
    if (body && body(req, res) == HandlerResponse::Handled) return;
    const std::string method = req.method == "HEAD" ? "GET" : req.method;
    const Route* found = nullptr;
    for (const Route& r : routes)
      if (r.method == method && std::regex_match(req.path, req.matches, r.pattern)) {
        found = &r;
        break;
      }
    if (!found) {
      res.status = 404;
      return;
    }
    try {
      found->handler(req, res);
    } catch (...) {
      res.body.clear();
      res.provider = nullptr;
      if (res.releaser) res.releaser(false);
      res.releaser = nullptr;
      res.status = 500;
      if (exception) {
        exception(req, res, std::current_exception());
      }
    }
    if (res.status == -1) res.status = 200;
  }

  void applyError(Exchange& ex, Response& res) {
    if (res.status >= 400 && error && !res.provider) {
      try {
        error(ex.req, res);
      } catch (const std::exception& e) {
        std::cerr << "cassardd: the error handler failed: " << e.what() << std::endl;
      }
    }
  }

  // libmicrohttpd takes a response only before the body or after all of it; a body that
  // grows past the limit is refused in its middle by writing the answer on the socket
  // ourselves, and then ending the connection.
  void refuseMidBody(MHD_Connection* c, Exchange& ex) {
    ex.answered = true;
    writeRaw(c, ex);
  }

  // An answer written on the socket by this, the connection's own thread (nothing else
  // writes to it now); the connection's write side ends with it.
  void writeRaw(MHD_Connection* c, Exchange& ex) {
    applyError(ex, ex.res);
    const char* reason = ex.res.status == 413   ? "Content Too Large"
                         : ex.res.status == 414 ? "URI Too Long"
                         : ex.res.status == 431 ? "Request Header Fields Too Large"
                                                : "Bad Request";
    std::string out = "HTTP/1.1 " + std::to_string(ex.res.status) + " " + reason + "\r\n";
    for (const auto& [k, v] : ex.res.headers) out += k + ": " + v + "\r\n";
    out += "Content-Length: " + std::to_string(ex.res.body.size()) +
           "\r\nConnection: close\r\n\r\n" + ex.res.body;
    gnutls_session_t tls = nullptr;
    if (!certPem.empty())
      if (const MHD_ConnectionInfo* info =
              MHD_get_connection_info(c, MHD_CONNECTION_INFO_GNUTLS_SESSION))
        tls = static_cast<gnutls_session_t>(info->tls_session);
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    std::size_t sent = 0;
    while (sent < out.size() && Clock::now() < deadline) {
      const ssize_t n = tls ? gnutls_record_send(tls, out.data() + sent, out.size() - sent)
                            : ::send(ex.fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        continue;
      }
      const bool again = tls ? (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED)
                             : (errno == EAGAIN || errno == EINTR);
      if (!again) break;
      pollfd p{ex.fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
    }
    if (tls) gnutls_bye(tls, GNUTLS_SHUT_WR);
    ::shutdown(ex.fd, SHUT_WR);
  }

  MHD_Result answer(MHD_Connection* c, Exchange& ex, Response& res) {
    ex.answered = true;
    if (res.status == -1) res.status = 200;
    applyError(ex, res);
    MHD_Response* r = nullptr;
    if (res.provider) {
      auto* s = new Stream(std::move(res.provider), std::move(res.releaser), ex.fd);
      r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, readStream, s, freeStream);
      if (!r) freeStream(s);
    } else {
      r = MHD_create_response_from_buffer(res.body.size(), res.body.data(), MHD_RESPMEM_MUST_COPY);
    }
    if (!r) return MHD_NO;
    for (const auto& [k, v] : res.headers) MHD_add_response_header(r, k.c_str(), v.c_str());
    const MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(res.status), r);
    MHD_destroy_response(r);
    return ok;
  }
};

thread_local Server::Impl::Current Server::Impl::current;

Server::Server() : impl_(std::make_unique<Impl>()) {}

Server::~Server() {
  stop();
  if (impl_->listenFd >= 0) ::close(impl_->listenFd);
}

Server& Server::Get(const std::string& p, Handler h) {
  impl_->routes.push_back({"GET", std::regex(p), std::move(h)});
  return *this;
}
Server& Server::Post(const std::string& p, Handler h) {
  impl_->routes.push_back({"POST", std::regex(p), std::move(h)});
  return *this;
}
Server& Server::Put(const std::string& p, Handler h) {
  impl_->routes.push_back({"PUT", std::regex(p), std::move(h)});
  return *this;
}
Server& Server::Patch(const std::string& p, Handler h) {
  impl_->routes.push_back({"PATCH", std::regex(p), std::move(h)});
  return *this;
}
Server& Server::Delete(const std::string& p, Handler h) {
  impl_->routes.push_back({"DELETE", std::regex(p), std::move(h)});
  return *this;
}
Server& Server::Options(const std::string& p, Handler h) {
  impl_->routes.push_back({"OPTIONS", std::regex(p), std::move(h)});
  return *this;
}

void Server::set_pre_routing_handler(HandlerWithResponse h) {
  impl_->pre = std::move(h);
}
void Server::set_body_handler(HandlerWithResponse h) {
  impl_->body = std::move(h);
}
void Server::set_error_handler(HandlerWithResponse h) {
  impl_->error = std::move(h);
}
void Server::set_exception_handler(ExceptionHandler h) {
  impl_->exception = std::move(h);
}
void Server::set_limits(const Limits& limits) {
  impl_->limits = limits;
}
void Server::set_tls(std::string certPem, std::string keyPem) {
  impl_->certPem = std::move(certPem);
  impl_->keyPem = std::move(keyPem);
}

int Server::bind(const std::string& host, int port) {
  sockaddr_storage ss{};
  socklen_t len = 0;
  auto* a4 = reinterpret_cast<sockaddr_in*>(&ss);
  auto* a6 = reinterpret_cast<sockaddr_in6*>(&ss);
  if (inet_pton(AF_INET, host.c_str(), &a4->sin_addr) == 1) {
    a4->sin_family = AF_INET;
    a4->sin_port = htons(static_cast<uint16_t>(port));
    len = sizeof *a4;
  } else if (inet_pton(AF_INET6, host.c_str(), &a6->sin6_addr) == 1) {
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(static_cast<uint16_t>(port));
    len = sizeof *a6;
    impl_->ipv6 = true;
  } else {
    errno = EINVAL;
    return -1;
  }
  // Every connection is a descriptor, beside the store's and the registers': a soft limit
  // of 1024 would refuse connections well before the server's own cap.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
    const rlim_t want = std::min<rlim_t>(files.rlim_max, impl_->limits.maxConnections + 512);
    if (files.rlim_cur < want) {
      files.rlim_cur = want;
      ::setrlimit(RLIMIT_NOFILE, &files);
    }
  }
  const int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (impl_->ipv6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  // Room in the queue for a burst of tills connecting at once, and for a till beside a flood
  // of connections: one whose handshake found the queue full would wait a second or more.
  if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    const int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  len = sizeof ss;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  impl_->listenFd = fd;
  return ntohs(ss.ss_family == AF_INET6 ? a6->sin6_port : a4->sin_port);
}

bool Server::listen_after_bind() {
  Impl& d = *impl_;
  if (d.listenFd < 0) return false;
  unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL |
                   MHD_USE_ERROR_LOG;
  if (d.ipv6) flags |= MHD_USE_IPv6;
  std::vector<MHD_OptionItem> tls;
  if (!d.certPem.empty()) {
    flags |= MHD_USE_TLS;
    tls.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(d.keyPem.c_str())});
    tls.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(d.certPem.c_str())});
  }
  tls.push_back({MHD_OPTION_END, 0, nullptr});
  std::unique_lock lock(d.m);
  if (d.stopped) return true;
  // Each connection's thread would otherwise take an arena of its own from the allocator,
  // and keep what it took there after it ends.
  ::mallopt(M_ARENA_MAX, 2);
  d.conns.clear();
  d.conns.setPolicy({d.limits.maxConnections, d.limits.perAddress});
  // Each connection has its thread: a handler may wait (the store, an event stream) without
  // holding up any other. The stack is small; the handlers do not recurse deeply (bodies are
  // at most 64 KiB of JSON whose nesting api.cpp bounds).
  // The guard (admit) keeps the cap; libmicrohttpd's own is above it by the connections the
  // guard has shut down whose threads have yet to end. Strict: a request of HTTP/1.1
  // without a Host is refused.
  d.daemon = MHD_start_daemon(
      flags, 0, &Impl::admit, &d, &Impl::access, &d, MHD_OPTION_EXTERNAL_LOGGER, &Impl::log, &d,
      MHD_OPTION_LISTEN_SOCKET, d.listenFd, MHD_OPTION_CONNECTION_LIMIT,
      d.limits.maxConnections + 256, MHD_OPTION_STRICT_FOR_CLIENT, 1, MHD_OPTION_URI_LOG_CALLBACK,
      &Impl::uriLog, &d, MHD_OPTION_CONNECTION_TIMEOUT, d.limits.idleWriteS,
      MHD_OPTION_THREAD_STACK_SIZE, static_cast<std::size_t>(1024 * 1024),
      MHD_OPTION_NOTIFY_CONNECTION, &Impl::notifyConnection, &d, MHD_OPTION_NOTIFY_COMPLETED,
      &Impl::completed, &d, MHD_OPTION_ARRAY, tls.data(), MHD_OPTION_END);
  if (!d.daemon) return false;
  d.reaping = true;
  d.reaper = std::thread([&d] { d.reap(); });
  d.running = true;
  d.cv.wait(lock, [&d] { return d.stopped; });
  MHD_Daemon* daemon = d.daemon;
  lock.unlock();
  // Stops accepting, closes every connection and waits for their threads: a handler that
  // is running ends first, an event stream sees the service stopping.
  MHD_stop_daemon(daemon);
  d.reaping = false;
  d.reaper.join();
  lock.lock();
  d.daemon = nullptr;
  d.listenFd = -1;  // libmicrohttpd closed it
  d.running = false;
  return true;
}

bool Server::is_running() const {
  return impl_->running;
}

void Server::stop() {
  {
    std::lock_guard lock(impl_->m);
    impl_->stopped = true;
  }
  impl_->cv.notify_all();
}

unsigned Server::connections() const {
  return static_cast<unsigned>(impl_->conns.size());
}

std::string tlsProblem(const std::string& certPem, const std::string& keyPem) {
  gnutls_certificate_credentials_t cred = nullptr;
  if (gnutls_certificate_allocate_credentials(&cred) != GNUTLS_E_SUCCESS)
    return "TLS credentials cannot be allocated";
  const gnutls_datum_t cert{reinterpret_cast<unsigned char*>(const_cast<char*>(certPem.data())),
                            static_cast<unsigned>(certPem.size())};
  const gnutls_datum_t key{reinterpret_cast<unsigned char*>(const_cast<char*>(keyPem.data())),
                           static_cast<unsigned>(keyPem.size())};
  const int rc = gnutls_certificate_set_x509_key_mem(cred, &cert, &key, GNUTLS_X509_FMT_PEM);
  gnutls_certificate_free_credentials(cred);
  return rc < 0 ? std::string(gnutls_strerror(rc)) : std::string();
}

}  // namespace cassardd::http
