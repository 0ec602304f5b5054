// How a job ends, decided from what the register says (pure: a table, no I/O).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace cassardd {

// A job's life, listed once. The store refuses any move that allowedMove() does not list.
enum class JobState { Queued, Running, Done, Failed, Uncertain, Attention };

std::string_view stateName(JobState s);
std::optional<JobState> stateFromName(std::string_view name);
bool allowedMove(JobState from, JobState to);
bool isFinal(JobState s);

// What cassard --status prints.
struct RegisterStatus {
  std::string model, brand, serial, fiscalisedAt, receiptNumber;
  bool saleOpen = false;
};
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
};

// A receipt: the register's counter and open sale before and after decide, whatever the
// exit status said; an after that could not be read leaves the job uncertain.
// `exitStatus` is empty when the run's end was not seen (the service stopped).
Outcome settleReceipt(const RegisterStatus& before, std::optional<int> exitStatus,
                      const std::optional<RegisterStatus>& after);

// Raw sales lines: cassard's exit status says how far it went; a sale left open, or a
// run whose end was not seen, needs a person.
Outcome settleLines(std::optional<int> exitStatus, const std::optional<RegisterStatus>& after);

}  // namespace cassardd
