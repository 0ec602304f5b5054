#include "service/settle.h"

#include <algorithm>
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

namespace {

Outcome unreadAfter() {
  return {JobState::Uncertain,
          "the register could not be read after the run; it is read again until it answers",
          {},
          false,
          "unread_after"};
}

Outcome saleLeftOpen() {
  return {JobState::Attention,
          "a sale was left open on the register: finish or cancel it on the register, then "
          "resume the register",
          {},
          true,
          "sale_left_open"};
}

nlohmann::json linesParams(const Delivery& d) {
  return {{"linesDelivered", d.delivered}, {"linesTotal", d.total}};
}

std::string linesOf(const Delivery& d) {
  return std::to_string(d.delivered) + " of its " + std::to_string(d.total) + " lines";
}

}  // namespace

Delivery deliveryOf(const std::vector<std::string>& lines, std::optional<int> exitStatus,
                    std::optional<int> failedLine) {
  Delivery d;
  d.total = static_cast<int>(lines.size());
  d.sale = d.total;
  bool closed = false;
  for (int i = 0; i < d.total; ++i) {
    const std::string_view code = std::string_view(lines[static_cast<std::size_t>(i)]).substr(0, 2);
    if (closed) continue;
    if (code == "01") d.items = i + 1;
    if (code == "99") {
      d.sale = i;  // the payments end before the end-of-sale record
      closed = true;
    }
  }
  if (exitStatus == 0)
    d.delivered = d.total;
  else if (failedLine && *failedLine >= 1)
    d.delivered = std::min(*failedLine - 1, d.total);
  return d;
}

Outcome settleReceipt(const RegisterStatus& before, std::optional<int> exitStatus,
                      const std::optional<RegisterStatus>& after, const Delivery& delivery) {
  if (!after) return unreadAfter();
  if (after->serial != before.serial)
    return {JobState::Attention,
            "a different register answered after the run (serial " + after->serial + ", before " +
                before.serial + "): check the line and the register's journal",
            {},
            true,
            "different_register",
            {{"serial", after->serial}, {"serialBefore", before.serial}}};
  if (after->saleOpen) return saleLeftOpen();
  const auto n = receiptsBetween(before.receiptNumber, after->receiptNumber);
  if (!n)
    return {JobState::Attention,
            "the register's receipt counter is not a number (" + before.receiptNumber + " -> " +
                after->receiptNumber + "): check the register's journal",
            {},
            false,
            "counter_not_number",
            {{"before", before.receiptNumber}, {"after", after->receiptNumber}}};
  if (*n == 1 && delivery.delivered < delivery.sale)
    // The register never had this whole sale from the run, yet a receipt closed: a person's
    // sale rung up while the line was out, or a part of this one closed by hand.
    return {JobState::Attention,
            "the receipt counter advanced by one (" + after->receiptNumber +
                ") but the run delivered only " + linesOf(delivery) +
                ", not the whole sale: the receipt that closed is not this sale as asked; "
                "compare it with the register's journal and resolve the job",
            {},
            false,
            "closed_elsewhere",
            linesParams(delivery)};
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
                    std::optional<int> failedLine, const std::optional<RegisterStatus>& before) {
  if (!after) return unreadAfter();
  if (after->saleOpen) return saleLeftOpen();
  if (!exitStatus)
    return {JobState::Attention,
            "the service stopped while the lines ran: how far they went is not known; check the "
            "register's journal",
            {},
            false,
            "lines_unknown"};
  if (*exitStatus == 0) {
    Outcome o{JobState::Done, "every line went through", {}, false, "completed"};
    if (before && before->serial == after->serial &&
        receiptsBetween(before->receiptNumber, after->receiptNumber) == 1)
      o.receiptNumber = after->receiptNumber;
    return o;
  }
  return {JobState::Failed,
          "cassard stopped at the failed line; the lines before it stay sent",
          {},
          false,
          "lines_failed",
          {{"line", failedLine ? nlohmann::json(*failedLine) : nlohmann::json(nullptr)}}};
}

std::optional<Outcome> settleAtResume(const RegisterStatus& before, const RegisterStatus& now,
                                      const Delivery& delivery) {
  if (now.saleOpen || now.serial != before.serial) return std::nullopt;
  const auto n = receiptsBetween(before.receiptNumber, now.receiptNumber);
  // The person paid what the register had; it is this receipt only when that was every item.
  if (n == 1 && delivery.delivered < delivery.items)
    return Outcome{JobState::Attention,
                   "a person closed the sale on the register (receipt " + now.receiptNumber +
                       "), but the run had delivered only " + linesOf(delivery) +
                       ", not every item: compare the register's receipt with this one and "
                       "resolve the job",
                   {},
                   false,
                   "partial_on_register",
                   linesParams(delivery)};
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
