// The register read by itself: while it is unreachable or held, its status is read every
// few seconds whether or not a job waits, so that what it shows (its state, its last
// reading, cassardd_register_up) follows the register, and a hold that only a person's own
// sale caused ends once that sale is closed.
#include <algorithm>

#include "service/worker.h"

namespace cassardd {

namespace {

// A reading at most this long after the last one ends: with the few seconds a status read
// of a silent register takes, one starts at least every 10 s, and a register that answers
// again is shown so within 10 s.
constexpr std::chrono::seconds kWatchEvery{5};

// A hold the reading ends by itself: a sale a person opened, before anything of a till's
// was sent, and now closed. The till's own sale left open waits for a person's resume.
bool endsByItself(const Held& h, const RegisterStatus& now) {
  return h.reasonCode == "sale_open" && !h.jobId && !now.saleOpen;
}

}  // namespace

std::optional<std::chrono::milliseconds> Worker::untilWatch() {
  if (!runtime().unreachable && !store_.registerRow(reg_.name).held) return std::nullopt;
  const auto since = std::chrono::steady_clock::now() - lastRead_;
  return std::max(std::chrono::milliseconds(0),
                  std::chrono::duration_cast<std::chrono::milliseconds>(kWatchEvery - since));
}

bool Worker::watch() {
  const auto wait = untilWatch();
  if (!wait || wait->count() > 0) return false;
  setRuntime(true, std::nullopt);
  const auto now = readStatus();
  setRuntime(false, std::nullopt);
  const auto held = store_.registerRow(reg_.name).held;
  if (!now || !held || !endsByItself(*held, *now)) return false;
  release("released: the sale a person had open on it was closed at the register");
  return true;
}

}  // namespace cassardd
