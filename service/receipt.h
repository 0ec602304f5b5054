// Receipts and other job requests, as JSON, into sales lines (pure: no I/O).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/config.h"
#include "service/job.h"
#include "service/latin1.h"

namespace cassardd {

// What is wrong with a request, naming the field as a path into the body.
struct Violation {
  std::string code;  // "invalid", "unknown_field"
  std::string field;
  std::string message;
};

// A request's body as JSON, or bad_json naming where it went wrong: the byte, and the
// field when a number is out of range (1e400).
struct Parsed {
  nlohmann::json body;
  std::optional<Violation> error;
};
Parsed parseRequest(std::string_view text);

// The sales lines of a request (Latin-1 bytes, no line end), or why there are none.
struct Lines {
  std::vector<std::string> lines;
  std::optional<Violation> error;
  std::optional<long long> total, change;  // cents, as the register counts them (receipts)
  std::optional<std::string> expiresAt;    // the request's own, in UTC with milliseconds
};

// A structured receipt into the record table: 03 operator; per item 00 quantity, 02 return,
// 01 sale; the payments by their configured records (the last one by its fiscal-report
// twin when fiscalReport is set), a payment without an amount by the method's rest record;
// 99; a DY row for each text. Refused, naming the field, when the register would refuse
// it: a line of 0 cents, a total of 0 or less or above the register's max_total, payments
// short of the total, above what is due on a method without change, or after the total.
Lines receiptLines(const nlohmann::json& body, const RegisterConfig& reg);

// The register's payment methods for its JSON: [{method, code, amount, change, rest}], by
// method name.
nlohmann::json paymentsJson(const RegisterConfig& reg);

// The body of POST .../jobs: kind lines, download or status. Status has no lines.
struct JobRequest {
  std::string kind;
  Lines lines;
};
JobRequest jobRequestLines(const nlohmann::json& body);

// One standard sales line: code, description (35), amount (9 digits, or blank when
// negative), number (2 digits, or blank when negative).
std::string salesLine(std::string_view code, std::string_view descr = "", long long amount = -1,
                      int number = -1);

}  // namespace cassardd
