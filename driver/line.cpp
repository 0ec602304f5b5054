// Opening the register's line, as a run and --status both do.

#include <cstdio>
#include <cstring>

#include "driver/main.h"
#include "protocol/protocol.h"

namespace {

constexpr const char* SERIAL_OPEN_ERROR_TEXT = "Impossibile aprire la porta seriale\n";

}  // namespace

void OpenRegisterLine(int argc, char** argv) {
  const char* speedstring = argc >= 4 ? argv[3] : DEFAULT_LINE_SETTINGS;
  const char* device = argc >= 3 ? argv[2] : DEFAULT_DEVICE;
  if (std::strlen(speedstring) > SPEED_TEXT_MAX) {
    std::fprintf(stderr, "cassard: line settings longer than %zu characters\n", SPEED_TEXT_MAX);
    FatalError(SERIAL_OPEN_ERROR_TEXT, -1);
  }
  TProtocol(false, device, speedstring);
  if (OpenPort() < 0) {
    ReportLineFailure(device);
    FatalError(SERIAL_OPEN_ERROR_TEXT, -1);
  }
}
