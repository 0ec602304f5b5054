// Faults the simulated register commits on purpose, each aimed at chosen commands.
//
//   KIND[=ARG][@TARGET]     e.g.  nack=2@3   refuse=*@A   critical=10   delay=250@T
//
// TARGET is a command number (1 for the first command the register receives, the
// link's own 'I' requests not counted), a command letter (every command with that
// letter), `run:N` (the Nth command of every host conversation), or an event:
// `payment`, `sale`, `journal`, `receipt`, each with an optional `:N` (the Nth such
// event from the moment the fault is armed; 1 when left out). Without a target a
// per-command fault hits every command, and a state fault (critical, busy, dead)
// holds from the moment it is armed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ecrsim {

enum class FaultKind {
  Nack,      // answer byte NACK, ARG times for the same command (default 1)
  Skip,      // answer byte SKIP, ARG times
  Err,       // answer byte ERR: refused for good, ARG times
  Silent,    // no answer byte and no answer frame, the command not taken, ARG times
  Dead,      // from this command on (or from the start) nothing is answered, RSTA included
  Lose,      // ACK, then the answer frame is held back until an 'I' request asks for it
  BadSum,    // the answer frame goes out with a damaged checksum ARG times
  Stray,     // ARG stray bytes between the ACK and the answer frame (default 3)
  EAnswer,   // answer 'E': command refused
  Refuse,    // answer 'S' with outcome ARG: '*', tab, or any character or number
  Critical,  // status 0x04 for the next ARG status requests
  Busy,      // status 0x20 for the next ARG status requests
  Delay,     // wait ARG milliseconds before answering
  Hangup,    // the line vanishes: the register closes its end of the line
  Short,     // answer data ARG bytes shorter than due (default 1)
  Noise,     // ACK, then ARG milliseconds of stray bytes, one a millisecond, then the answer
  Late,      // ACK at once, the answer frame ARG milliseconds later
  StaFrame,  // a whole frame instead of the status byte, for the next ARG status requests
  StaDle,    // a lone DLE instead of the status byte, for the next ARG status requests
  Journal,   // journal requests answered with state ARG and no record (default 3)
};

// Events a fault can wait for. A payment is a keyboard command ending with a payment
// key; an item sale one that sells a line; a journal request asks the expansion
// memory for its next journal record; a receipt is the payment that would close the
// open sale.
enum class FaultEvent { None, Payment, Sale, Journal, Receipt };

struct Fault {
  FaultKind kind = FaultKind::Nack;
  unsigned arg = 1;
  unsigned index = 0;  // target command number; 0 = none
  char letter = 0;     // target command letter; 0 = none
  unsigned run = 0;    // target command number within each host conversation; 0 = none
  FaultEvent event = FaultEvent::None;
  unsigned nth = 1;     // which event of its kind, counted from when it is armed
  std::string written;  // as written, for messages
};

bool parseFault(std::string_view written, Fault& out, std::string& error);

// True when the fault is aimed at the command with this number and letter. Faults
// aimed at an event or a conversation's command are decided by the register.
bool faultHits(const Fault& f, unsigned index, char letter);

// True when the fault names no target: it hits every command, or holds from the
// moment it is armed.
bool untargeted(const Fault& f);

// The list for --help and the documentation.
extern const char* const kFaultHelp;

}  // namespace ecrsim
