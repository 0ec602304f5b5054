#include "support/files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "protocol/port.h"
#include "protocol/protocol.h"

std::string readFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& name, const std::string& content) {
  std::ofstream(name, std::ios::binary) << content;
}

bool fileExists(const std::string& name) {
  return access(name.c_str(), F_OK) == 0;
}

std::string dumpLogName() {
  char name[16];
  DumpLogName(portNow(), name);
  return name;
}

std::string dumpLog() {
  return readFile(dumpLogName());
}

std::string lastDumpDescription() {
  const std::string log = dumpLog();
  const std::string key = "\nDescrizione: ";
  const auto at = log.rfind(key);
  if (at == std::string::npos) return "<no report>";
  const auto start = at + key.size();
  return log.substr(start, log.find('\n', start) - start);
}

std::string stdoutOf(const std::function<void()>& fn) {
  testing::internal::CaptureStdout();
  fn();
  return testing::internal::GetCapturedStdout();
}
