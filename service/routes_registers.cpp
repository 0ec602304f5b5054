#include <regex>

#include "service/api.h"
#include "service/http.h"
#include "service/routes.h"

namespace cassardd {

void Api::registerRoutes() {
  http::Server& s = *server_;

  s.Get("/v1/registers", [this](const Request&, Response& res) {
    answer(res, 200, {{"registers", registers_.allJson()}});
  });

  s.Post(R"(/v1/registers/(.+)/resume)",
         [this](const Request& req, Response& res) { resume(req, res); });

  s.Get(R"(/v1/registers/(.+))", [this](const Request& req, Response& res) {
    static const std::regex postOnly(R"([^/]+/(receipts|jobs|resume))");
    if (std::regex_match(req.matches[1].str(), postOnly))
      return error(res, 405, "method_not_allowed", "GET is not allowed on " + req.path + " (POST)");
    if (const RegisterConfig* reg = registerOf(req, res))
      answer(res, 200, registers_.registerJson(reg->name));
  });
}

// The register named in the path, or an answer saying why there is none.
const RegisterConfig* Api::registerOf(const Request& req, Response& res) {
  const std::string name = req.matches[1].str();
  if (badName(name)) {
    error(res, 400, "invalid", "a register's name has no '/' or '..'", "name");
    return nullptr;
  }
  const RegisterConfig* reg = cfg_.findRegister(name);
  if (!reg)
    error(res, 404, "unknown_register", "no register named \"" + name + "\" is configured", "name");
  return reg;
}

void Api::resume(const Request& req, Response& res) {
  const RegisterConfig* reg = registerOf(req, res);
  if (!reg) return;
  std::string detail;
  switch (registers_.find(reg->name)->resume(detail)) {
    case Worker::Resume::Released:
      return answer(res, 200, registers_.registerJson(reg->name));
    case Worker::Resume::NotHeld:
      return error(res, 409, "not_held", "register " + reg->name + " is not held");
    case Worker::Resume::SaleOpen:
      return error(res, 409, "sale_open", detail);
    case Worker::Resume::Unreachable:
      return error(res, 503, "unreachable", "the register could not be read: " + detail);
  }
}

}  // namespace cassardd
