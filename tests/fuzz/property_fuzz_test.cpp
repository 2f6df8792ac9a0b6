// The fuzz driver in the normal suite: a fixed seed, a few seconds of random requests, then the card's error
// log, the pool and the framework must show nothing amiss.
#include "property_fuzz.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "platform/host/ks/ks_host.h"

TEST(PropertyFuzz, SeededRandomRequestsLeaveTheDriverSound) {
  std::string asserts;
  host::setAssertHandler([&](const char* report) { asserts += report; });
  size_t requests = 0;
  {
    fuzz::Harness harness;
    ASSERT_TRUE(harness.ok());
    std::mt19937 rng(20240607);
    std::vector<uint8_t> input(8192);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < until) {
      for (auto& b : input) b = static_cast<uint8_t>(rng());
      fuzz::Bytes in(input.data(), input.size());
      for (int i = 0; i < 16 && harness.one(in); ++i) ++requests;
    }
    EXPECT_TRUE(harness.machine().card(0).errors().empty());
  }
  EXPECT_GT(requests, 100u);
  EXPECT_EQ(asserts, "");
  EXPECT_EQ(host::pool::outstandingBlocks(), 0u) << host::pool::report();
  EXPECT_EQ(host::ks::livePins(), 0u);
  host::setAssertHandler({});
}
