// Puts every global of the link, the driver and the configuration back to its
// start values, as a fresh process after TProtocol would have them.
#pragma once

#include <gtest/gtest.h>

#include "support/fake_port.h"

void resetLink();

// fake::reset(), then resetLink(): a fresh line and a fresh link. Inline, so the fuzz
// targets, which share resetLink() but run on a port of their own, never need the fake.
inline void freshStart() {
  fake::reset();
  resetLink();
}

// A test that begins with freshStart().
class FreshLink : public testing::Test {
 protected:
  void SetUp() override { freshStart(); }
};
