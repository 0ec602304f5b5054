// How a job ends, decided from what the register says (pure: a table, no I/O).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "service/job.h"

namespace cassardd {

// What cassard --status prints, read and written.
std::optional<RegisterStatus> parseStatus(std::string_view json);
nlohmann::json statusJson(const RegisterStatus& s);
std::optional<RegisterStatus> statusFromJson(const nlohmann::json& j);

// cassard's exit status in English.
std::string exitMeaning(int status);

struct Outcome {
  JobState state = JobState::Uncertain;
  std::string reason;                        // English, for the person who reads the job
  std::optional<std::string> receiptNumber;  // a receipt that is done
  bool hold = false;                         // no further job on this register until resume
  std::string reasonCode;                    // the reason as a stable code
  nlohmann::json reasonParams = nlohmann::json::object();
};

// A receipt: the register's counter and open sale before and after decide, whatever the
// exit status said; an after that could not be read leaves the job uncertain.
// `exitStatus` is empty when the run's end was not seen (the service stopped).
Outcome settleReceipt(const RegisterStatus& before, std::optional<int> exitStatus,
                      const std::optional<RegisterStatus>& after);

// Raw sales lines: cassard's exit status says how far it went; a sale left open, or a
// run whose end was not seen, needs a person. `failedLine` is the line cassard stopped at.
Outcome settleLines(std::optional<int> exitStatus, const std::optional<RegisterStatus>& after,
                    std::optional<int> failedLine = std::nullopt);

// A receipt in attention, read again when a person resumes its register: the reading
// decides it when the counter is one past the receipt's reading before (the person
// finished the sale) or unchanged (cancelled), with no sale open on the same register.
// Empty when the reading cannot tell.
std::optional<Outcome> settleAtResume(const RegisterStatus& before, const RegisterStatus& now);

// cassard's exit status when its reading before the first line found a sale open: it
// sent nothing.
inline constexpr int kSaleAlreadyOpen = 98;

}  // namespace cassardd
