#include "driver/main.h"
#include "protocol/port.h"
#include "protocol/process.h"

int main(int argc, char** argv) {
  // A closed standard descriptor would be taken by the serial line, and the console
  // text would go to the register; with no /dev/null to stand in, nothing is safe.
  if (!GuardStandardDescriptors()) portExit(-1);
  InstallSignalHandlers();
  cassardMain(argc, argv);
}
