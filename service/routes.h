// What every route shares: one way to answer, one way to refuse (status, code, message,
// field), and the small readings of a request the routes have in common.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "service/http.h"

namespace cassardd {

// A refusal: {"error": {"code", "message", "field"}} with its status. `field` names what
// was wrong: a header, a parameter, or a path into the body.
void error(http::Response& res, int status, const std::string& code, const std::string& message,
           const std::optional<std::string>& field = std::nullopt);
void answer(http::Response& res, int status, const nlohmann::json& body);
// The same refusal from a step that reads a request into a value and now has none to
// give: `return refused(res, 400, "invalid", "...", "field");`.
std::nullopt_t refused(http::Response& res, int status, const std::string& code,
                       const std::string& message,
                       const std::optional<std::string>& field = std::nullopt);

// A name from a path: '/' and '..' never reach the file system.
bool badName(const std::string& s);
bool isJson(const http::Request& req);
// A positive whole number of at most 18 digits.
std::optional<int64_t> positive(const std::string& s);
// A JSON body refused unless it says it is JSON (415 unsupported_media_type): false then.
bool jsonBody(const http::Request& req, http::Response& res);

}  // namespace cassardd
