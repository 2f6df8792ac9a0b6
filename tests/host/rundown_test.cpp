// Rundown protection: references until a rundown, the wait for those in flight, re-arming, and misuse.
#include <atomic>
#include <thread>

#include "platform/kernel.h"
#include "tests/host/support.h"

using hosttest::AssertRecorder;
using hosttest::waitFor;

namespace {

TEST(Rundown, RefusesNewReferencesOnceRunDownUntilReInitialised) {
  EX_RUNDOWN_REF ref;
  ExInitializeRundownProtection(&ref);
  ASSERT_TRUE(ExAcquireRundownProtection(&ref));
  ASSERT_TRUE(ExAcquireRundownProtection(&ref));
  ExReleaseRundownProtection(&ref);
  ExReleaseRundownProtection(&ref);
  ExWaitForRundownProtectionRelease(&ref);
  EXPECT_FALSE(ExAcquireRundownProtection(&ref));
  ExWaitForRundownProtectionRelease(&ref);  // a second rundown finds nothing to wait for
  EXPECT_EQ(ref.Count, ULONG_PTR(EX_RUNDOWN_ACTIVE));

  ExReInitializeRundownProtection(&ref);
  EXPECT_TRUE(ExAcquireRundownProtection(&ref));
  ExReleaseRundownProtection(&ref);
  EXPECT_EQ(ref.Count, 0u);
}

TEST(Rundown, WaitReturnsOnlyAfterTheLastReferenceInFlightIsReleased) {
  EX_RUNDOWN_REF ref;
  ExInitializeRundownProtection(&ref);
  ASSERT_TRUE(ExAcquireRundownProtection(&ref));
  ASSERT_TRUE(ExAcquireRundownProtection(&ref));
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    ExWaitForRundownProtectionRelease(&ref);
    done = true;
  });
  // The waiter has begun the rundown once the active bit shows: new references are refused from then on.
  ASSERT_TRUE(
      waitFor([&] { return (__atomic_load_n(&ref.Count, __ATOMIC_ACQUIRE) & EX_RUNDOWN_ACTIVE) != 0; }));
  EXPECT_FALSE(ExAcquireRundownProtection(&ref));
  ExReleaseRundownProtection(&ref);
  EXPECT_FALSE(done.load()) << "one reference is still out";
  ExReleaseRundownProtection(&ref);
  EXPECT_TRUE(waitFor([&] { return done.load(); }));
  waiter.join();
  EXPECT_EQ(ref.Count, ULONG_PTR(EX_RUNDOWN_ACTIVE));
}

TEST(Rundown, ManyHoldersAgainstOneRundownNeverLoseAReference) {
  EX_RUNDOWN_REF ref;
  ExInitializeRundownProtection(&ref);
  std::atomic<int> inside{0}, admitted{0};
  std::atomic<bool> stop{false}, sawInsideAfterRundown{false};
  std::vector<std::thread> holders;
  for (int t = 0; t < 4; ++t)
    holders.emplace_back([&] {
      while (!stop) {
        if (!ExAcquireRundownProtection(&ref)) continue;
        ++inside;
        ++admitted;
        std::this_thread::yield();
        --inside;
        ExReleaseRundownProtection(&ref);
      }
    });
  ASSERT_TRUE(waitFor([&] { return admitted.load() > 100; }));
  ExWaitForRundownProtectionRelease(&ref);
  sawInsideAfterRundown = inside.load() != 0;
  stop = true;
  for (auto& h : holders) h.join();
  EXPECT_FALSE(sawInsideAfterRundown.load()) << "the wait returned with a holder still inside";
}

TEST(Rundown, MisuseIsReported) {
  EX_RUNDOWN_REF ref;
  ExInitializeRundownProtection(&ref);
  {
    AssertRecorder rec;
    ExReleaseRundownProtection(&ref);
    EXPECT_TRUE(rec.saw("without a reference held"));
  }
  {
    AssertRecorder rec;
    ExReInitializeRundownProtection(&ref);
    EXPECT_TRUE(rec.saw("has not completed"));
  }
  {
    AssertRecorder rec;
    host::setThreadIrql(DISPATCH_LEVEL);
    ExWaitForRundownProtectionRelease(&ref);
    host::setThreadIrql(PASSIVE_LEVEL);
    EXPECT_TRUE(rec.saw("above APC_LEVEL"));
  }
}

}  // namespace
