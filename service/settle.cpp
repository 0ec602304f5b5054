#include "service/settle.h"

#include <array>
#include <utility>

namespace cassardd {

using nlohmann::json;

namespace {

// The counter as a number, when it is four decimal digits.
std::optional<int> counter(const std::string& s) {
  if (s.size() != 4) return std::nullopt;
  int n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

// Receipts the register closed between two readings of its counter. After 9999 a
// register goes on at 0000 or at 0001; both count as one step.
std::optional<int> receiptsBetween(const std::string& before, const std::string& after) {
  const auto b = counter(before), a = counter(after);
  if (!b || !a) return std::nullopt;
  if (*b == 9999 && (*a == 0 || *a == 1)) return 1;
  return (*a - *b + 10000) % 10000;
}

}  // namespace

std::optional<RegisterStatus> statusFromJson(const json& j) {
  if (!j.is_object()) return std::nullopt;
  RegisterStatus s;
  for (auto [key, field] : {std::pair{"model", &s.model},
                            {"brand", &s.brand},
                            {"serial", &s.serial},
                            {"fiscalisedAt", &s.fiscalisedAt},
                            {"receiptNumber", &s.receiptNumber}}) {
    if (!j.contains(key) || !j[key].is_string()) return std::nullopt;
    *field = j[key].get<std::string>();
  }
  if (!j.contains("saleOpen") || !j["saleOpen"].is_boolean()) return std::nullopt;
  s.saleOpen = j["saleOpen"].get<bool>();
  return s;
}

std::optional<RegisterStatus> parseStatus(std::string_view text) {
  const json j = json::parse(text, nullptr, false);
  if (j.is_discarded()) return std::nullopt;
  return statusFromJson(j);
}

json statusJson(const RegisterStatus& s) {
  return {{"model", s.model},
          {"brand", s.brand},
          {"serial", s.serial},
          {"fiscalisedAt", s.fiscalisedAt},
          {"receiptNumber", s.receiptNumber},
          {"saleOpen", s.saleOpen}};
}

std::string exitMeaning(int status) {
  switch (status) {
    case 0:
      return "completed";
    case 2:
      return "a command could not be delivered (the register refused it or asked for it again too "
             "often)";
    case 4:
      return "the register stayed in its critical state or stopped answering the status request";
    case 8:
      return "a write to the line failed, or the register asked for the operator or the change";
    case 16:
      return "three damaged answer frames in a row";
    case 17:
      return "no answer frame from the register";
    case 18:
      return "the register refused the command";
    case 21:
      return "wrong key position, a sale in progress, or keys pressed on the register";
    case 32:
      return "the register does not answer, or its printer head is lifted or out of paper";
    case kSaleAlreadyOpen:
      return "a sale was already open on the register before the first line; nothing was sent";
    case 99:
      return "a sale was still open at the end of the receipt";
    case 255:
      return "the line or a file could not be opened, read or written, or the register is not "
             "supported";
    default:
      break;
  }
  if (status > 128 && status < 160)
    return "cassard was stopped by signal " + std::to_string(status - 128);
  return "exit status " + std::to_string(status);
}

Outcome settleReceipt(const RegisterStatus& before, std::optional<int> exitStatus,
                      const std::optional<RegisterStatus>& after) {
  if (!after)
    return {JobState::Uncertain,
            "the register could not be read after the run; it is read again until it answers",
            {},
            false,
            "unread_after"};
  if (after->serial != before.serial)
    return {JobState::Attention,
            "a different register answered after the run (serial " + after->serial + ", before " +
                before.serial + "): check the line and the register's journal",
            {},
            true,
            "different_register",
            {{"serial", after->serial}, {"serialBefore", before.serial}}};
  if (after->saleOpen)
    return {JobState::Attention,
            "a sale was left open on the register: finish or cancel it on the register, then "
            "resume the register",
            {},
            true,
            "sale_left_open"};
  const auto n = receiptsBetween(before.receiptNumber, after->receiptNumber);
  if (!n)
    return {JobState::Attention,
            "the register's receipt counter is not a number (" + before.receiptNumber + " -> " +
                after->receiptNumber + "): check the register's journal",
            {},
            false,
            "counter_not_number",
            {{"before", before.receiptNumber}, {"after", after->receiptNumber}}};
  if (*n == 1)
    return {JobState::Done,       "fiscalised: the receipt counter advanced by one",
            after->receiptNumber, false,
            "fiscalised",         {{"receiptNumber", after->receiptNumber}}};
  if (*n == 0) {
    if (exitStatus && *exitStatus == 0)
      return {
          JobState::Attention,
          "cassard completed but the receipt counter did not advance: check the register's journal",
          {},
          false,
          "no_advance"};
    return {JobState::Failed,
            "not fiscalised: the receipt counter did not advance and no sale is open; safe to "
            "submit again with a new key",
            {},
            false,
            "not_fiscalised"};
  }
  return {JobState::Attention,
          "the receipt counter advanced by " + std::to_string(*n) + " (" + before.receiptNumber +
              " -> " + after->receiptNumber +
              "): something else used the register; check its journal",
          {},
          false,
          "counter_jumped",
          {{"by", *n}, {"before", before.receiptNumber}, {"after", after->receiptNumber}}};
}

Outcome settleLines(std::optional<int> exitStatus, const std::optional<RegisterStatus>& after,
                    std::optional<int> failedLine) {
  if (!after)
    return {JobState::Uncertain,
            "the register could not be read after the run; it is read again until it answers",
            {},
            false,
            "unread_after"};
  if (after->saleOpen)
    return {JobState::Attention,
            "a sale was left open on the register: finish or cancel it on the register, then "
            "resume the register",
            {},
            true,
            "sale_left_open"};
  if (!exitStatus)
    return {JobState::Attention,
            "the service stopped while the lines ran: how far they went is not known; check the "
            "register's journal",
            {},
            false,
            "lines_unknown"};
  if (*exitStatus == 0) return {JobState::Done, "every line went through", {}, false, "completed"};
  return {JobState::Failed,
          "cassard stopped at the failed line; the lines before it stay sent",
          {},
          false,
          "lines_failed",
          {{"line", failedLine ? nlohmann::json(*failedLine) : nlohmann::json(nullptr)}}};
}

std::optional<Outcome> settleAtResume(const RegisterStatus& before, const RegisterStatus& now) {
  if (now.saleOpen || now.serial != before.serial) return std::nullopt;
  const auto n = receiptsBetween(before.receiptNumber, now.receiptNumber);
  if (n == 1)
    return Outcome{JobState::Done,
                   "completed on the register: the receipt counter is one past its reading "
                   "before the receipt",
                   now.receiptNumber,
                   false,
                   "completed_on_register",
                   {{"receiptNumber", now.receiptNumber}}};
  if (n == 0)
    return Outcome{JobState::Failed,
                   "cancelled on the register: the receipt counter did not advance and no sale is "
                   "open; safe to submit again with a new key",
                   {},
                   false,
                   "cancelled_on_register"};
  return std::nullopt;
}

}  // namespace cassardd
