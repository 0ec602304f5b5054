#include "driver/main.h"

int main(int argc, char** argv) {
  cassardMain(argc, argv);
}
