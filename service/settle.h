// How a job ends, decided from what the register says (pure: a table, no I/O).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// How far a receipt's run went through its sales lines (operator, items, payments, 99, text
// rows), counted in lines from the first.
struct Delivery {
  int delivered = 0;  // lines the run delivered whole: every line when it ended 0, those before
                      // its failed line when it failed, none when its end was not seen
  int total = 0;      // the receipt's lines
  int items = 0;      // up to its last item line
  int sale = 0;       // up to its last payment line: the whole sale
};
Delivery deliveryOf(const std::vector<std::string>& lines, std::optional<int> exitStatus,
                    std::optional<int> failedLine);

// A receipt: the register's counter and open sale before and after decide, whatever the
// exit status said; an after that could not be read leaves the job uncertain. A counter one
// past the reading before is this receipt only when the run delivered its whole sale; after a
// run that stopped earlier, it is a receipt a person closed, and a person compares.
// `exitStatus` is empty when the run's end was not seen (the service stopped).
Outcome settleReceipt(const RegisterStatus& before, std::optional<int> exitStatus,
                      const std::optional<RegisterStatus>& after, const Delivery& delivery);

// Raw sales lines: cassard's exit status says how far it went; a sale left open, or a
// run whose end was not seen, needs a person. `failedLine` is the line cassard stopped at.
// Lines that went through and moved the counter from `before` by one closed that receipt.
Outcome settleLines(std::optional<int> exitStatus, const std::optional<RegisterStatus>& after,
                    std::optional<int> failedLine = std::nullopt,
                    const std::optional<RegisterStatus>& before = std::nullopt);

// A receipt in attention, read again when a person resumes its register: the reading
// decides it when the counter is one past the receipt's reading before (the person
// finished the sale) or unchanged (cancelled), with no sale open on the same register.
// A sale the person finished is the receipt's only when the register had all its items;
// one it had part of stays in attention (partial_on_register). Empty when the reading
// cannot tell.
std::optional<Outcome> settleAtResume(const RegisterStatus& before, const RegisterStatus& now,
                                      const Delivery& delivery);

// cassard's exit status when its reading before the first line found a sale open: it
// sent nothing.
inline constexpr int kSaleAlreadyOpen = 98;

}  // namespace cassardd
