#include <chrono>
#include <memory>

#include "service/api.h"
#include "service/http.h"
#include "service/routes.h"

namespace cassardd {

using nlohmann::json;

namespace {

constexpr int kMaxStreams = 32;  // of the server's 1024 connections

}  // namespace

void Api::eventRoutes() {
  server_->Get("/v1/events", [this](const Request& req, Response& res) { events(req, res); });
}

void Api::events(const Request& req, Response& res) {
  // Each stream holds one of the server's threads: enough are kept for the rest.
  if (streams_ >= kMaxStreams)
    return error(res, 503, "unavailable", "too many event streams are open; try again later");
  int64_t from = -1;
  if (const auto id = positive(req.get_header_value("Last-Event-ID"))) {
    const auto missed = store_.eventsAfter(*id, 1);
    // Only when what was missed is all still kept.
    if (!missed.empty() ? missed.front().id == *id + 1 : true) from = *id;
  }
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Accel-Buffering", "no");
  auto last = std::make_shared<int64_t>(from);
  auto provide = [this, last](size_t, http::DataSink& sink) {
    if (stopping_) return false;
    std::string out;
    if (*last < 0) {
      // A new client starts from the present: every register as it is now.
      *last = store_.lastEventId();
      out = "retry: 2000\n\n";
      for (const json& r : registers_.allJson())
        out += "id: " + std::to_string(*last) + "\nevent: register\ndata: " + jsonText(r) + "\n\n";
      return sink.write(out.data(), out.size());
    }
    // A heartbeat every 15 s at most; meanwhile the client is looked at twice a second, so
    // that a stream it closed gives back its slot at once.
    constexpr auto slice = std::chrono::milliseconds(500);
    const auto beat = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < beat) {
      const auto before = std::chrono::steady_clock::now();
      store_.waitForEvent(*last, slice, stopping_);
      if (stopping_ || !sink.is_writable()) return false;
      // An early return is an event (the wait ends before its time only for one).
      if (std::chrono::steady_clock::now() - before < slice) break;
    }
    const auto events = store_.eventsAfter(*last);
    if (events.empty()) out = ": heartbeat\n\n";
    for (const Store::Event& e : events) {
      out += "id: " + std::to_string(e.id) + "\nevent: " + e.type + "\ndata: " + e.data + "\n\n";
      *last = e.id;
    }
    return sink.write(out.data(), out.size());
  };
  ++streams_;
  res.set_chunked_content_provider("text/event-stream", provide, [this](bool) { --streams_; });
}

}  // namespace cassardd
