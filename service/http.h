// cassardd's HTTP server: requests and responses shaped for the handlers in api.cpp, served by
// libmicrohttpd with one thread per connection, and bounds that no client can outwait:
//
//   - the request line, headers and body arrive within requestTime of the connection's start
//     or of its last response, whatever the pace of the bytes; a connection that misses it
//     is shut down by the reaper (an idle keep-alive connection too);
//   - while more than `pressure` connections are open, the bound is pressedTime, so idle and
//     slow ones give way to the tills that are waiting;
//   - at most maxConnections are open: at the cap, a new connection takes the place of the
//     one that has waited longest for its request; a client other than the loopback holds
//     at most perAddress of them (see http_conns.h);
//   - a head libmicrohttpd lets through but a check could misread (obs-fold, two Hosts) is
//     a 400, and its own refusals (431, 400) are the API's error, not its page; bodies are at most
//     maxBody bytes however they are sent (413 as soon as the count passes it, nothing more is
//     kept).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>

namespace cassardd::http {

struct CaseLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
using Headers = std::multimap<std::string, std::string, CaseLess>;
using Params = std::multimap<std::string, std::string>;

struct Request {
  std::string method;
  std::string path;  // percent-decoded, without the query
  std::string body;
  Headers headers;
  Params params;        // the query's, decoded
  std::smatch matches;  // of the route's pattern over `path`
  // Why the head is unfit to be served (then the status is 400), and the header at fault.
  std::string malformed, malformedField;

  bool has_header(const std::string& key) const { return headers.count(key) > 0; }
  std::string get_header_value(const std::string& key) const;  // "" when absent
  bool has_param(const std::string& key) const { return params.count(key) > 0; }
  std::string get_param_value(const std::string& key) const;
};

// Where a streamed response writes. The provider is called again once what it wrote is sent.
class DataSink {
 public:
  explicit DataSink(int fd) : fd_(fd) {}
  bool write(const char* data, std::size_t n);
  // False once the client has closed its side or the socket failed: a provider that waits
  // long asks this between waits, so that a closed stream frees its thread.
  bool is_writable() const;
  std::string pending;

 private:
  int fd_;
};

using ContentProvider = std::function<bool(std::size_t offset, DataSink& sink)>;
using ContentProviderResourceReleaser = std::function<void(bool success)>;

struct Response {
  int status = -1;
  std::string body;
  Headers headers;
  ContentProvider provider;
  ContentProviderResourceReleaser releaser;

  void set_header(const std::string& key, const std::string& value);
  void set_content(std::string content, const std::string& contentType);
  // A body of unknown length, sent chunked as the provider writes it; the releaser is
  // called once the response is done with, whether it ended well or not.
  void set_chunked_content_provider(const std::string& contentType, ContentProvider provider,
                                    ContentProviderResourceReleaser releaser = nullptr);
};

struct Limits {
  std::size_t maxBody = 64 * 1024;
  std::size_t maxPath = 2048;
  std::chrono::milliseconds requestTime{10000};
  std::chrono::milliseconds pressedTime{1000};
  unsigned maxConnections = 1024;
  unsigned pressure = 768;
  unsigned perAddress = 32;  // connections from one address other than the loopback
  unsigned idleWriteS = 60;  // a response the client stops reading is dropped after this
};

class Server {
 public:
  enum class HandlerResponse { Handled, Unhandled };
  using Handler = std::function<void(const Request&, Response&)>;
  using HandlerWithResponse = std::function<HandlerResponse(const Request&, Response&)>;
  using ExceptionHandler = std::function<void(const Request&, Response&, std::exception_ptr)>;

  Server();
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Routes are tried in the order they were added; the pattern must match the whole path.
  // HEAD is served by the GET routes.
  Server& Get(const std::string& pattern, Handler handler);
  Server& Post(const std::string& pattern, Handler handler);
  Server& Put(const std::string& pattern, Handler handler);
  Server& Patch(const std::string& pattern, Handler handler);
  Server& Delete(const std::string& pattern, Handler handler);
  Server& Options(const std::string& pattern, Handler handler);

  // Before the body is read: Handled answers with what the handler set.
  void set_pre_routing_handler(HandlerWithResponse handler);
  // Once the whole body is in, before the route's handler: Handled answers with what it set.
  void set_body_handler(HandlerWithResponse handler);
  // For an answer of status 400 or more; Handled when it wrote the body.
  void set_error_handler(HandlerWithResponse handler);
  void set_exception_handler(ExceptionHandler handler);
  void set_limits(const Limits& limits);
  // PEM texts: the server then speaks only HTTPS.
  void set_tls(std::string certPem, std::string keyPem);

  // Binds and listens on host (an IP address) and port (0: any free one); the port, or -1
  // with errno set.
  int bind(const std::string& host, int port);
  // Serves until stop(); false when the server could not start.
  bool listen_after_bind();
  bool is_running() const;
  void stop();

  // Connections open now.
  unsigned connections() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Empty when certPem and keyPem make a certificate and its key TLS can serve with; else
// what is wrong, in one line.
std::string tlsProblem(const std::string& certPem, const std::string& keyPem);

}  // namespace cassardd::http
