// Receipts and other job requests, as JSON, into sales lines (pure: no I/O).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/config.h"

namespace cassardd {

// What is wrong with a request, naming the field as a path into the body.
struct Violation {
  std::string code;  // "invalid", "unknown_field"
  std::string field;
  std::string message;
};

// The sales lines of a request (Latin-1 bytes, no line end), or why there are none.
struct Lines {
  std::vector<std::string> lines;
  std::optional<Violation> error;
};

// A structured receipt into the record table: 03 operator; per item 00 quantity, 02 return,
// 01 sale; the payments by their configured codes (the last one by its fiscal-report twin
// when fiscalReport is set); 99; a DY row for each text.
Lines receiptLines(const nlohmann::json& body, const RegisterConfig& reg);

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

// UTF-8 to Latin-1; nothing when a character has no Latin-1 form or the text is not UTF-8.
std::optional<std::string> toLatin1(std::string_view utf8);
std::string fromLatin1(std::string_view bytes);

}  // namespace cassardd
