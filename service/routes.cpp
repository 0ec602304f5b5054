#include "service/routes.h"

#include <strings.h>

#include <algorithm>

#include "service/job_json.h"

namespace cassardd {

using http::Request;
using http::Response;
using nlohmann::json;

void error(Response& res, int status, const std::string& code, const std::string& message,
           const std::optional<std::string>& field) {
  res.status = status;
  res.set_content(
      json{
          {"error",
           {{"code", code}, {"message", message}, {"field", field ? json(*field) : json(nullptr)}}}}
              .dump(-1, ' ', false, json::error_handler_t::replace) +
          "\n",
      "application/json");
}

void answer(Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(jsonText(body) + "\n", "application/json");
}

std::nullopt_t refused(Response& res, int status, const std::string& code,
                       const std::string& message, const std::optional<std::string>& field) {
  error(res, status, code, message, field);
  return std::nullopt;
}

bool badName(const std::string& s) {
  return s.find('/') != std::string::npos || s.find("..") != std::string::npos;
}

bool isJson(const Request& req) {
  const std::string ct = req.get_header_value("Content-Type");
  // A media type's name is case-insensitive, and may be followed by spaces.
  std::string type = ct.substr(0, ct.find(';'));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
  return strcasecmp(type.c_str(), "application/json") == 0;
}

std::optional<int64_t> positive(const std::string& s) {
  if (s.empty() || s.size() > 18 || !std::all_of(s.begin(), s.end(), ::isdigit))
    return std::nullopt;
  const int64_t v = std::stoll(s);
  return v > 0 ? std::optional(v) : std::nullopt;
}

bool jsonBody(const Request& req, Response& res) {
  if (isJson(req)) return true;
  error(res, 415, "unsupported_media_type",
        "the body must be JSON (Content-Type: application/json)", "Content-Type");
  return false;
}

}  // namespace cassardd
