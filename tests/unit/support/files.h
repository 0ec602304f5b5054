// Files the code under test leaves in the test's working directory, read back whole,
// and what it prints on stdout.
#pragma once

#include <functional>
#include <string>
#include <string_view>

inline bool contains(std::string_view text, std::string_view what) {
  return text.find(what) != std::string_view::npos;
}

std::string readFile(const std::string& name);  // "" when missing
void writeFile(const std::string& name, const std::string& content);
bool fileExists(const std::string& name);

std::string dumpLogName();  // today's dump log, by the fake calendar
std::string dumpLog();      // its content
// The description of the last report in today's dump log; "<no report>" without one.
std::string lastDumpDescription();

// What fn prints on stdout.
std::string stdoutOf(const std::function<void()>& fn);
