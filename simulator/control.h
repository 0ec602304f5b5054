// The control socket's commands: one line in, one JSON object out. A test arms and
// clears faults, resets the register and reads its state (the open sale, the last
// receipt, the counter, the faults) without parsing the roll.
#pragma once

#include <string>
#include <string_view>

#include "simulator/model.h"

namespace ecrsim {

// The line as the front end sees it.
struct LineInfo {
  bool plugged = true;
  bool host = false;  // a host holds the line: it has the line's other side open
  std::string link;
};

// What the front end must do for a command that concerns the line itself.
enum class LineAction { None, Hangup, Plug, Reset };

struct ControlReply {
  std::string json;  // one line, no line end; empty when the front end answers
  LineAction action = LineAction::None;
};

// Carries out one command line (without its line end) on the register.
ControlReply controlCommand(Register& reg, std::string_view line, const LineInfo& info);

// The answer to `state`.
std::string stateJson(const Register& reg, const LineInfo& info);

// {"ok":false,"error":...}
std::string errorJson(const std::string& message);

}  // namespace ecrsim
