// Sales lines for the end-to-end tests and the benchmark.
#pragma once

#include <string>
#include <string_view>

namespace sales {

// One standard sales line: the code, the description padded to 35 columns, the amount
// right-aligned with zeros to 9 (blank when empty), the number in 2 columns, LF.
inline std::string line(std::string_view code, std::string_view descr = "",
                        std::string_view amount = "", std::string_view number = "") {
  std::string out(code.substr(0, 2));
  out.resize(2, ' ');
  std::string d(descr.substr(0, 35));
  d.resize(35, ' ');
  out += d;
  const std::string_view a = amount.substr(0, 9);
  out += amount.empty() ? std::string(9, ' ') : std::string(9 - a.size(), '0') + std::string(a);
  std::string n(number.substr(0, 2));
  n.resize(2, ' ');
  return out + n + "\n";
}

}  // namespace sales
