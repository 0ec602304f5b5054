#include "service/job.h"

#include <gnutls/crypto.h>

#include <stdexcept>
#include <utility>

namespace cassardd {

namespace {

constexpr std::array<std::pair<JobState, std::string_view>, 6> kNames = {{
    {JobState::Queued, "queued"},        // committed, waiting its turn
    {JobState::Running, "running"},      // cassard is on the register
    {JobState::Done, "done"},            // finished as asked
    {JobState::Failed, "failed"},        // did not happen
    {JobState::Uncertain, "uncertain"},  // to be settled from the register
    {JobState::Attention, "attention"},  // a person must look
}};

constexpr std::array<std::pair<JobKind, std::string_view>, 4> kKindNames = {{
    {JobKind::Receipt, "receipt"},    // a structured receipt, its lines made by the service
    {JobKind::Lines, "lines"},        // sales lines as the till wrote them
    {JobKind::Status, "status"},      // a reading of the register, nothing sent to it
    {JobKind::Download, "download"},  // the journal or the totals, into files
}};

// The allowed moves of a job, and only these.
constexpr std::array<std::pair<JobState, JobState>, 14> kMoves = {{
    {JobState::Queued, JobState::Running},
    {JobState::Queued, JobState::Failed},  // expired or cancelled, never sent
    // Back in the queue only when nothing was sent: the run's reading before its first
    // line found a sale open, or the run ended before that reading.
    {JobState::Running, JobState::Queued},
    {JobState::Uncertain, JobState::Queued},
    {JobState::Running, JobState::Done},
    {JobState::Running, JobState::Failed},
    {JobState::Running, JobState::Uncertain},
    {JobState::Running, JobState::Attention},
    {JobState::Uncertain, JobState::Done},
    {JobState::Uncertain, JobState::Failed},
    {JobState::Uncertain, JobState::Attention},
    // A person finished or cancelled the sale: the register's reading at resume, or the
    // person's own word.
    {JobState::Attention, JobState::Done},
    {JobState::Attention, JobState::Failed},
    // The reading at resume says what the person did, and it still needs a person's word.
    {JobState::Attention, JobState::Attention},
}};

template <typename T, std::size_t N>
constexpr std::array<T, N> firsts(const std::array<std::pair<T, std::string_view>, N>& table) {
  std::array<T, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = table[i].first;
  return out;
}

template <typename T, std::size_t N>
std::string_view nameIn(const std::array<std::pair<T, std::string_view>, N>& table, T value) {
  for (const auto& [v, name] : table)
    if (v == value) return name;
  return "?";
}

template <typename T, std::size_t N>
std::optional<T> valueIn(const std::array<std::pair<T, std::string_view>, N>& table,
                         std::string_view n) {
  for (const auto& [v, name] : table)
    if (name == n) return v;
  return std::nullopt;
}

}  // namespace

const std::array<JobState, 6>& allStates() {
  static constexpr auto states = firsts(kNames);
  return states;
}

std::string_view stateName(JobState s) {
  return nameIn(kNames, s);
}

std::optional<JobState> stateFromName(std::string_view n) {
  return valueIn(kNames, n);
}

bool allowedMove(JobState from, JobState to) {
  for (const auto& [f, t] : kMoves)
    if (f == from && t == to) return true;
  return false;
}

bool isFinal(JobState s) {
  return s == JobState::Done || s == JobState::Failed;
}

const std::array<JobKind, 4>& allKinds() {
  static constexpr auto kinds = firsts(kKindNames);
  return kinds;
}

std::string_view kindName(JobKind k) {
  return nameIn(kKindNames, k);
}

std::optional<JobKind> kindFromName(std::string_view n) {
  return valueIn(kKindNames, n);
}

std::string requestFingerprint(const std::string& kind, const std::string& request) {
  // The kind ends at the first NUL: no kind holds one, so no two pairs give one text.
  std::string text = kind;
  text.push_back('\0');
  text += request;
  unsigned char digest[32];
  if (gnutls_hash_fast(GNUTLS_DIG_SHA256, text.data(), text.size(), digest) != 0)
    throw std::runtime_error("SHA-256 is not available");
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char b : digest) {
    out.push_back(hex[b >> 4]);
    out.push_back(hex[b & 15]);
  }
  return out;
}

bool sameRequest(const Job& j, const std::string& kind, const std::string& request) {
  return j.kind == kind && j.request == request;
}

bool sameRequest(const PrunedJob& p, const std::string& kind, const std::string& request) {
  return p.fingerprint == requestFingerprint(kind, request);
}

}  // namespace cassardd
