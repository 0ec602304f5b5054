#include "simulator/faults.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace ecrsim {

namespace {

struct KindName {
  std::string_view name;
  FaultKind kind;
  unsigned defaultArg;
};

constexpr KindName kKinds[] = {
    {"nack", FaultKind::Nack, 1},         {"skip", FaultKind::Skip, 1},
    {"err", FaultKind::Err, 1},           {"silent", FaultKind::Silent, 1},
    {"dead", FaultKind::Dead, 0},         {"lose", FaultKind::Lose, 0},
    {"badsum", FaultKind::BadSum, 1},     {"stray", FaultKind::Stray, 3},
    {"E", FaultKind::EAnswer, 0},         {"refuse", FaultKind::Refuse, '*'},
    {"critical", FaultKind::Critical, 1}, {"busy", FaultKind::Busy, 1},
    {"delay", FaultKind::Delay, 100},     {"hangup", FaultKind::Hangup, 0},
    {"short", FaultKind::Short, 1},       {"noise", FaultKind::Noise, 10000},
    {"late", FaultKind::Late, 7000},      {"staframe", FaultKind::StaFrame, 1},
    {"stadle", FaultKind::StaDle, 1},     {"journal", FaultKind::Journal, 3},
};

bool parseNumber(std::string_view text, unsigned long max, unsigned& out) {
  if (text.empty() || text.size() > 12) return false;
  std::string s(text);
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(s.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > max || s[0] == '-') return false;
  out = static_cast<unsigned>(v);
  return true;
}

constexpr std::pair<std::string_view, FaultEvent> kEvents[] = {
    {"payment", FaultEvent::Payment},
    {"sale", FaultEvent::Sale},
    {"journal", FaultEvent::Journal},
    {"receipt", FaultEvent::Receipt},
};

bool parseTarget(std::string_view target, Fault& out) {
  if (target.size() == 1 && !(target[0] >= '0' && target[0] <= '9')) {
    out.letter = target[0];
    return true;
  }
  std::string_view word = target, count;
  if (auto colon = target.find(':'); colon != std::string_view::npos) {
    word = target.substr(0, colon);
    count = target.substr(colon + 1);
  }
  if (word == "run") return parseNumber(count, 1000000000, out.run) && out.run != 0;
  for (const auto& [name, event] : kEvents) {
    if (word != name) continue;
    out.event = event;
    return word.size() == target.size() ||
           (parseNumber(count, 1000000000, out.nth) && out.nth != 0);
  }
  return word.size() == target.size() && parseNumber(target, 1000000000, out.index) &&
         out.index != 0;
}

}  // namespace

const char* const kFaultHelp =
    "  nack[=N]      answer byte NACK, N times for the same command (default 1)\n"
    "  skip[=N]      answer byte SKIP, N times\n"
    "  err[=N]       answer byte ERR, N times\n"
    "  silent[=N]    no answer byte and no answer frame, N times; the command is not taken\n"
    "  dead          from the target command on (or from the start) answer nothing at all\n"
    "  lose          ACK, but hold the answer frame back until an 'I' request asks for it\n"
    "  badsum[=N]    answer frame with a damaged checksum, N times\n"
    "  stray[=N]     N stray bytes between the ACK and the answer frame (default 3)\n"
    "  E             answer 'E' (command refused)\n"
    "  refuse[=C]    answer 'S' with outcome C: * (default), tab, a character or a number\n"
    "  critical[=N]  status byte 0x04 for the next N status requests\n"
    "  busy[=N]      status byte 0x20 for the next N status requests\n"
    "  delay[=MS]    wait MS milliseconds before answering (default 100)\n"
    "  hangup        close the line and exit\n"
    "  short[=N]     answer data N bytes shorter than due (default 1)\n"
    "  noise[=MS]    ACK, then MS ms of stray bytes 0x55, one a millisecond, then the\n"
    "                answer (default 10000)\n"
    "  late[=MS]     ACK at once, the answer frame MS ms later (default 7000)\n"
    "  staframe[=N]  a whole frame instead of the status byte, N times\n"
    "  stadle[=N]    a lone DLE (0x10) instead of the status byte, N times\n"
    "  journal[=S]   journal requests answered with state S and no record (default 3)\n";

bool parseFault(std::string_view written, Fault& out, std::string& error) {
  out = Fault{};
  out.written = std::string(written);
  std::string_view rest = written;
  std::string_view target;
  if (auto at = rest.find('@'); at != std::string_view::npos) {
    target = rest.substr(at + 1);
    rest = rest.substr(0, at);
  }
  std::string_view arg;
  bool hasArg = false;
  if (auto eq = rest.find('='); eq != std::string_view::npos) {
    arg = rest.substr(eq + 1);
    rest = rest.substr(0, eq);
    hasArg = true;
  }
  const KindName* kind = nullptr;
  for (const KindName& k : kKinds)
    if (k.name == rest) kind = &k;
  if (kind == nullptr) {
    error = "unknown fault \"" + std::string(written) + "\"";
    return false;
  }
  out.kind = kind->kind;
  out.arg = kind->defaultArg;
  if (hasArg) {
    bool ok;
    if (out.kind == FaultKind::Refuse) {
      if (arg == "tab") {
        out.arg = '\t';
        ok = true;
      } else if (arg.size() == 1) {
        out.arg = static_cast<unsigned char>(arg[0]);
        ok = true;
      } else {
        ok = parseNumber(arg, 255, out.arg);
      }
      // Outcome 0 would be an acceptance, not a refusal.
      ok = ok && out.arg != 0;
    } else {
      const bool ms = out.kind == FaultKind::Delay || out.kind == FaultKind::Noise ||
                      out.kind == FaultKind::Late;
      ok = parseNumber(arg, ms ? 600000 : out.kind == FaultKind::Journal ? 255 : 100000, out.arg);
      // State 0 is a record, 7 the end of the journal: neither is a fault.
      ok = ok && !(out.kind == FaultKind::Journal && (out.arg == 0 || out.arg == 7));
    }
    if (!ok) {
      error = "bad argument in fault \"" + std::string(written) + "\"";
      return false;
    }
  }
  if (!target.empty()) {
    if (!parseTarget(target, out)) {
      error = "bad target in fault \"" + std::string(written) +
              "\" (a command number from 1, a letter, run:N, or payment, sale, journal, "
              "receipt with an optional :N)";
      return false;
    }
  } else if (written.find('@') != std::string_view::npos) {
    error = "empty target in fault \"" + std::string(written) + "\"";
    return false;
  }
  return true;
}

bool untargeted(const Fault& f) {
  return f.index == 0 && f.letter == 0 && f.run == 0 && f.event == FaultEvent::None;
}

bool faultHits(const Fault& f, unsigned index, char letter) {
  if (f.run != 0 || f.event != FaultEvent::None) return false;
  if (f.index != 0) return f.index == index;
  if (f.letter != 0) return f.letter == letter;
  return true;
}

}  // namespace ecrsim
