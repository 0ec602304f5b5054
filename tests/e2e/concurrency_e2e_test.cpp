// Two tills started at once on the same register: the device lock makes the second
// cassard wait for the first, both complete, and the register sees the two command
// streams one after the other, never interleaved.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "rig.h"

namespace {

using Lines = std::vector<std::string>;

std::string receipt(const char* op, const char* item) {
  return sales::line("03", "", "", op) + sales::line("01", item, "150", "02") + sales::line("11") +
         sales::line("99");
}

TEST(Concurrency, SecondRunWaitsForTheLockAndBothComplete) {
  // Each item sale takes the register 400 ms, so the first run still holds the line
  // when the second starts.
  rig::Rig rig("default.json", {"--fault", "delay=400@A"});

  // Each receipt alone, for the commands it must send.
  rig::Rig alone;
  ASSERT_EQ(alone.cassard(receipt("01", "PRIMA"), std::chrono::seconds(30), "a.ECR").status, 0);
  const Lines first = alone.commands();
  ASSERT_EQ(alone.cassard(receipt("02", "SECONDA"), std::chrono::seconds(30), "b.ECR").status, 0);
  const Lines both = alone.commands();
  const Lines second(both.begin() + static_cast<long>(first.size()), both.end());

  const auto start = std::chrono::steady_clock::now();
  auto a = std::async(std::launch::async, [&] {
    return rig.cassard(receipt("01", "PRIMA"), std::chrono::seconds(60), "a.ECR");
  });
  auto b = std::async(std::launch::async, [&] {
    return rig.cassard(receipt("02", "SECONDA"), std::chrono::seconds(60), "b.ECR");
  });
  const rig::Run runA = a.get();
  const rig::Run runB = b.get();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  EXPECT_EQ(runA.status, 0) << runA.console;
  EXPECT_EQ(runB.status, 0) << runB.console;
  EXPECT_EQ(rig.dumpLog(), "");
  // Two runs with all their delayed keyboard commands, one after the other.
  const auto keyboard = std::count_if(first.begin(), first.end(),
                                      [](const std::string& c) { return c.rfind("41", 0) == 0; });
  EXPECT_GE(seconds, 2 * static_cast<double>(keyboard) * 0.4);

  Lines ab = first, ba = second;
  ab.insert(ab.end(), second.begin(), second.end());
  ba.insert(ba.end(), first.begin(), first.end());
  const Lines got = rig.commands();
  EXPECT_TRUE(got == ab || got == ba) << testing::PrintToString(got);
}

}  // namespace
