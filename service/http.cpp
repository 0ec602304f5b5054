#include "service/http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
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
#include <unordered_map>
#include <vector>

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

// One connection as the reaper sees it. Waiting: its next request (line, headers, body) is
// still arriving; Busy: a handler or a response has it.
struct Conn {
  int fd = -1;
  bool busy = false;
  Clock::time_point since;
  bool shut = false;
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

  std::mutex m;  // guards daemon, stopped, cv
  std::condition_variable cv;
  MHD_Daemon* daemon = nullptr;
  bool stopped = false;
  std::atomic<bool> running{false};

  // The connections the reaper may shut down. An entry goes at libmicrohttpd's "closed"
  // notification, which comes before the socket is closed, under the same lock the reaper
  // holds while it shuts one down: a number reused by a newer connection is never touched.
  mutable std::mutex connM;
  std::unordered_map<const MHD_Connection*, Conn> conns;
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
    std::lock_guard lock(self->connM);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
      self->conns[c] = Conn{info ? info->connect_fd : -1, false, Clock::now(), false};
    } else {
      self->conns.erase(c);
    }
  }

  static void completed(void* cls, MHD_Connection* c, void** reqCls, MHD_RequestTerminationCode) {
    auto* self = static_cast<Impl*>(cls);
    delete static_cast<Exchange*>(*reqCls);
    *reqCls = nullptr;
    std::lock_guard lock(self->connM);
    if (auto it = self->conns.find(c); it != self->conns.end()) {
      it->second.busy = false;
      it->second.since = Clock::now();
    }
  }

  static void log(void* cls, const char* fmt, va_list ap) {
    // libmicrohttpd says why it refused a connection; under a flood of them, once a second.
    auto* self = static_cast<Impl*>(cls);
    const long now =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch()).count();
    char line[512];
    std::vsnprintf(line, sizeof line, fmt, ap);
    std::string text(line);
    // A client that went away, or an event stream that ended with it, is no news.
    for (const char* usual : {"closed by remote side", "error generating response"})
      if (text.find(usual) != std::string::npos) return;
    if (self->lastLog.exchange(now) == now) return;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::cerr << "cassardd: http: " << text << std::endl;
  }

  void setBusy(const MHD_Connection* c) {
    std::lock_guard lock(connM);
    if (auto it = conns.find(c); it != conns.end()) it->second.busy = true;
  }

  void reap() {
    while (reaping) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const auto now = Clock::now();
      std::lock_guard lock(connM);
      const auto bound = conns.size() > limits.pressure ? limits.pressedTime : limits.requestTime;
      for (auto& [c, conn] : conns)
        if (!conn.busy && !conn.shut && conn.fd >= 0 && now - conn.since > bound) {
          // The connection's thread sees the end of its socket and closes it.
          ::shutdown(conn.fd, SHUT_RDWR);
          conn.shut = true;
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
    setBusy(c);
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
  // ourselves (this is the connection's own thread; nothing else writes to it now), and
  // then ending the connection.
  void refuseMidBody(MHD_Connection* c, Exchange& ex) {
    ex.answered = true;
    applyError(ex, ex.res);
    std::string out = "HTTP/1.1 " + std::to_string(ex.res.status) + " Content Too Large\r\n";
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
    const rlim_t want = std::min<rlim_t>(files.rlim_max, impl_->limits.maxConnections + 256);
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
  // Room in the queue for a burst of tills connecting at once.
  if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd, 512) != 0) {
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
  d.conns.clear();
  // Each connection has its thread: a handler may wait (the store, an event stream) without
  // holding up any other. The stack is small; the handlers do not recurse deeply (bodies are
  // at most 64 KiB of JSON whose nesting api.cpp bounds).
  d.daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &Impl::access, &d, MHD_OPTION_EXTERNAL_LOGGER, &Impl::log, &d,
      MHD_OPTION_LISTEN_SOCKET, d.listenFd, MHD_OPTION_CONNECTION_LIMIT, d.limits.maxConnections,
      MHD_OPTION_CONNECTION_TIMEOUT, d.limits.idleWriteS, MHD_OPTION_THREAD_STACK_SIZE,
      static_cast<std::size_t>(1024 * 1024), MHD_OPTION_NOTIFY_CONNECTION, &Impl::notifyConnection,
      &d, MHD_OPTION_NOTIFY_COMPLETED, &Impl::completed, &d, MHD_OPTION_ARRAY, tls.data(),
      MHD_OPTION_END);
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
  std::lock_guard lock(impl_->connM);
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
