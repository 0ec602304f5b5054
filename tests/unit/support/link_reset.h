// Puts every global of the link, the driver and the configuration back to its
// start values, as a fresh process after TProtocol would have them.
#pragma once

#include <gtest/gtest.h>

void resetLink();

// fake::reset(), then resetLink(): a fresh line and a fresh link.
void freshStart();

// A test that begins with freshStart().
class FreshLink : public testing::Test {
 protected:
  void SetUp() override { freshStart(); }
};
