#include "service/job_json.h"

#include <iostream>

#include "service/latin1.h"
#include "service/settle.h"

namespace cassardd {

using nlohmann::json;

namespace {

template <typename T>
json orNull(const std::optional<T>& v) {
  return v ? json(*v) : json(nullptr);
}

}  // namespace

std::string jsonText(const json& j) {
  try {
    return j.dump();
  } catch (const json::type_error&) {
    const std::string text = j.dump(-1, ' ', false, json::error_handler_t::replace);
    std::cerr << "cassardd: a text that is not UTF-8, written with U+FFFD: " << text.substr(0, 300)
              << std::endl;
    return text;
  }
}

json jobSummaryJson(const Job& j) {
  // The methods a receipt pays with, in the request's order, for a list to show.
  json payments = json::array();
  if (j.is(JobKind::Receipt)) {
    const json req = json::parse(j.request, nullptr, false);
    if (req.is_object() && req.contains("payments") && req["payments"].is_array())
      for (const json& p : req["payments"])
        if (p.is_object() && p.contains("method") && p["method"].is_string())
          payments.push_back(p["method"]);
  }
  return {{"id", j.id},
          {"register", j.reg},
          {"key", j.key},
          {"kind", j.kind},
          {"state", std::string(stateName(j.state))},
          {"exitStatus", orNull(j.exitStatus)},
          {"meaning", orNull(j.meaning)},
          {"failedLine", orNull(j.failedLine)},
          {"receiptNumber", orNull(j.receiptNumber)},
          {"reason", orNull(j.reason)},
          {"reasonCode", j.reasonCode.empty() ? json(nullptr) : json(j.reasonCode)},
          {"reasonParams", j.reasonParams},
          {"settledBy", orNull(j.settledBy)},
          {"total", orNull(j.total)},
          {"change", orNull(j.change)},
          {"payments", payments},
          {"expiresAt", orNull(j.expiresAt)},
          {"createdAt", j.createdAt},
          {"startedAt", orNull(j.startedAt)},
          {"endedAt", orNull(j.endedAt)}};
}

json prunedJobJson(const PrunedJob& p) {
  return {{"id", p.id},
          {"register", p.reg},
          {"key", p.key},
          {"kind", p.kind},
          {"state", std::string(stateName(p.state))},
          {"receiptNumber", orNull(p.receiptNumber)},
          {"createdAt", p.createdAt},
          {"endedAt", orNull(p.endedAt)},
          {"prunedAt", p.prunedAt},
          {"pruned", true}};
}

json jobJson(const Job& j) {
  json out = jobSummaryJson(j);
  out["request"] = json::parse(j.request, nullptr, false);
  json lines = json::array();
  for (const std::string& l : j.lines) lines.push_back(fromLatin1(l));
  out["lines"] = lines;
  out["console"] = j.console;
  out["dumpLog"] = j.dumpLog;
  out["registerText"] = orNull(j.registerText);
  out["note"] = orNull(j.note);
  json files = json::array();
  for (const FileInfo& f : j.files)
    files.push_back({{"name", f.name},
                     {"size", f.size},
                     {"url", "/v1/jobs/" + std::to_string(j.id) + "/files/" + f.name}});
  out["files"] = files;
  out["statusBefore"] = j.before ? statusJson(*j.before) : json(nullptr);
  out["statusAfter"] = j.after ? statusJson(*j.after) : json(nullptr);
  return out;
}

}  // namespace cassardd
