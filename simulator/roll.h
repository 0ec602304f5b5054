// The register's paper roll: each command it executed, written as a person reads a
// till roll (sales with description, quantity, price and department, returns,
// payments, operators, text rows, reports, downloads).
#pragma once

#include <string>

#include "simulator/model.h"

namespace ecrsim {

// Lines for one executed command, each ending with '\n'; empty for the zero key.
// `decimals` is the number of decimal places of the amounts the host keys.
std::string rollLines(const Executed& ev, int decimals);

}  // namespace ecrsim
