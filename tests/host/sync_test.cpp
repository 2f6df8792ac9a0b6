// Mutexes, events, spin locks, IRQL rules and the assertion path.
#include "platform/kernel.h"
#include "tests/host/support.h"

using hosttest::AssertRecorder;
using hosttest::waitFor;

namespace {

LARGE_INTEGER relativeMs(int64_t ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

TEST(Mutex, IsRecursiveAndOwned) {
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  EXPECT_EQ(KeReadStateMutex(&m), 1);
  ASSERT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateMutex(&m), -1);

  // Another thread cannot take it while this one holds it, even after one release.
  KeReleaseMutex(&m, FALSE);
  NTSTATUS other = STATUS_SUCCESS;
  std::thread([&] {
    LARGE_INTEGER t = relativeMs(20);
    other = KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, &t);
  }).join();
  EXPECT_EQ(other, STATUS_TIMEOUT);

  KeReleaseMutex(&m, FALSE);
  EXPECT_EQ(KeReadStateMutex(&m), 1);
  std::thread([&] {
    LARGE_INTEGER t = relativeMs(1000);
    other = KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, &t);
    KeReleaseMutex(&m, FALSE);
  }).join();
  EXPECT_EQ(other, STATUS_SUCCESS);
}

TEST(Mutex, ReleaseByNonOwnerAsserts) {
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  AssertRecorder rec;
  KeReleaseMutex(&m, FALSE);  // not held at all
  EXPECT_TRUE(rec.saw("does not own"));
  ASSERT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  std::thread([&] { KeReleaseMutex(&m, FALSE); }).join();  // held by this thread, released by another
  EXPECT_EQ(rec.count(), 2u);
  EXPECT_EQ(KeReadStateMutex(&m), 0) << "a refused release must leave the mutex owned";
  KeReleaseMutex(&m, FALSE);
}

TEST(Mutex, ExcludesUnderContention) {
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  int counter = 0;  // guarded by m
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);
      ++counter;
      KeReleaseMutex(&m, FALSE);
    }
  };
  std::thread a(work), b(work), c(work);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(counter, 60000);
  EXPECT_EQ(KeReadStateMutex(&m), 1);
}

TEST(Event, TimeoutsPollAndInfinite) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  LARGE_INTEGER rel = relativeMs(10);
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &rel), STATUS_TIMEOUT);
  LARGE_INTEGER abs;
  KeQuerySystemTime(&abs);
  abs.QuadPart += 10 * 10000;  // absolute, 10 ms ahead
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &abs), STATUS_TIMEOUT);

  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    KeSetEvent(&e, 0, FALSE);
  });
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  setter.join();
  // Notification: stays signalled for every waiter until cleared.
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&e), 1);
  EXPECT_EQ(KeResetEvent(&e), 1);
  EXPECT_EQ(KeReadStateEvent(&e), 0);
  KeSetEvent(&e, 0, FALSE);
  KeClearEvent(&e);
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST(Event, SynchronizationReleasesOneWaiterPerSet) {
  KEVENT e;
  KeInitializeEvent(&e, SynchronizationEvent, TRUE);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&e), 0) << "a satisfied wait resets a synchronization event";
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);

  std::atomic<int> woken{0};
  auto waiter = [&] {
    LARGE_INTEGER t = relativeMs(5000);
    if (KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS) woken++;
  };
  std::thread a(waiter), b(waiter);
  KeSetEvent(&e, 0, FALSE);
  ASSERT_TRUE(waitFor([&] { return woken.load() == 1; }));
  KeSetEvent(&e, 0, FALSE);
  a.join();
  b.join();
  EXPECT_EQ(woken.load(), 2);
}

TEST(Event, WakesWaitersAcrossThreadsRepeatedly) {
  // Ping-pong as the I2C path does: one side sets from a "DPC" thread, the other waits at PASSIVE.
  KEVENT ping, pong;
  KeInitializeEvent(&ping, NotificationEvent, FALSE);
  KeInitializeEvent(&pong, NotificationEvent, FALSE);
  constexpr int kRounds = 2000;
  std::thread dpc([&] {
    host::setThreadIrql(DISPATCH_LEVEL);
    for (int i = 0; i < kRounds; ++i) {
      while (KeReadStateEvent(&ping) == 0) std::this_thread::yield();
      KeClearEvent(&ping);
      KeSetEvent(&pong, 0, FALSE);
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    KeClearEvent(&pong);
    KeSetEvent(&ping, 0, FALSE);
    LARGE_INTEGER t = relativeMs(10000);
    ASSERT_EQ(KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS)
        << "round " << i;
  }
  dpc.join();
}

TEST(Irql, WaitsAndDelaysAboveApcAssert) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, TRUE);
  AssertRecorder rec;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(rec.count(), 0u) << "a zero-timeout poll is allowed at DISPATCH_LEVEL";
  LARGE_INTEGER t = relativeMs(1);
  KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
  EXPECT_TRUE(rec.saw("KeWaitForSingleObject with a non-zero timeout above APC_LEVEL"));
  KeDelayExecutionThread(KernelMode, FALSE, &t);
  EXPECT_TRUE(rec.saw("KeDelayExecutionThread above APC_LEVEL"));
  KeLowerIrql(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KeLowerIrql(DISPATCH_LEVEL);  // "lowering" upwards
  EXPECT_TRUE(rec.saw("KeLowerIrql to a level above"));
  host::setThreadIrql(PASSIVE_LEVEL);
}

// Events may be signalled and cleared up to DISPATCH_LEVEL (a DPC does), never from an ISR's level.
TEST(Irql, EventsAboveDispatchAssert) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  AssertRecorder rec;
  host::setThreadIrql(DISPATCH_LEVEL);
  KeSetEvent(&e, 0, FALSE);
  KeClearEvent(&e);
  EXPECT_EQ(rec.count(), 0u);
  host::setThreadIrql(DISPATCH_LEVEL + 3);  // a device's level, as in an ISR
  KeSetEvent(&e, 0, FALSE);
  KeClearEvent(&e);
  KeResetEvent(&e);
  host::setThreadIrql(PASSIVE_LEVEL);
  EXPECT_TRUE(rec.saw("KeSetEvent above DISPATCH_LEVEL"));
  EXPECT_TRUE(rec.saw("KeClearEvent above DISPATCH_LEVEL"));
  EXPECT_TRUE(rec.saw("KeResetEvent above DISPATCH_LEVEL"));
}

TEST(SpinLock, RaisesToDispatchAndChecksLevelAndOwner) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  bool otherGotIt = false;
  std::thread other([&] {
    KIRQL o;
    KeAcquireSpinLock(&lock, &o);
    otherGotIt = true;
    KeReleaseSpinLock(&lock, o);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(otherGotIt);  // cannot pass a held lock, however slow the machine
  KeReleaseSpinLock(&lock, old);
  other.join();
  EXPECT_TRUE(otherGotIt);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  AssertRecorder rec;
  KeAcquireSpinLockAtDpcLevel(&lock);
  EXPECT_TRUE(rec.saw("below DISPATCH_LEVEL"));
  KeReleaseSpinLockFromDpcLevel(&lock);
  host::setThreadIrql(DISPATCH_LEVEL);
  KeAcquireSpinLockAtDpcLevel(&lock);
  KeAcquireSpinLockAtDpcLevel(&lock);  // its own lock again: would deadlock
  EXPECT_TRUE(rec.saw("acquired again by its owner"));
  KeReleaseSpinLockFromDpcLevel(&lock);
  host::setThreadIrql(PASSIVE_LEVEL);
}

TEST(Assertions, ReportExpressionFileAndLineThroughTheTraceSink) {
  AssertRecorder rec;
  host::trace::clear();
  int x = 1;
  ASSERT(x == 2);
  EXPECT_TRUE(rec.saw("*** Assertion failed: x == 2"));
  EXPECT_TRUE(rec.saw("sync_test.cpp"));
  EXPECT_NE(host::trace::text().find("*** Assertion failed: x == 2"), std::string::npos);
}

TEST(AssertionsDeathTest, AbortWithoutHandler) {
  EXPECT_DEATH(
      {
        host::setAssertHandler(nullptr);
        host::trace::toStderr();
        RtlAssert((PVOID) "p_irp", (PVOID) "device.cpp", 42, nullptr);
      },
      "Assertion failed: p_irp");
}

TEST(Trace, DbgPrintKeepsEachCallIntactAcrossThreads) {
  host::trace::clear();
  auto writer = [](char c) {
    std::string line(100, c);
    for (int i = 0; i < 200; ++i) DbgPrint("%s|%d\n", line.c_str(), i);
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  std::string t = host::trace::text();
  size_t lines = 0, pos = 0;
  while ((pos = t.find('\n', pos)) != std::string::npos) {
    ++lines;
    ++pos;
  }
  EXPECT_EQ(lines, 400u);
  EXPECT_EQ(t.find("ab"), std::string::npos);
  EXPECT_EQ(t.find("ba"), std::string::npos);
  host::trace::clear();
  EXPECT_TRUE(host::trace::text().empty());
}

// A breakpoint is taken by an attached kernel debugger; without one it would bugcheck the machine.
TEST(Trace, BreakpointOnlyWithAKernelDebugger) {
  AssertRecorder rec;
  const uint64_t breaks = host::trace::breakCount();
  EXPECT_TRUE(KdRefreshDebuggerNotPresent());
  DbgBreakPoint();
  EXPECT_TRUE(rec.saw("DbgBreakPoint without a kernel debugger"));
  host::trace::attachDebugger(true);
  EXPECT_FALSE(KdRefreshDebuggerNotPresent());
  DbgBreakPoint();
  host::trace::attachDebugger(false);
  EXPECT_EQ(rec.count(), 1u);
  EXPECT_EQ(host::trace::breakCount(), breaks + 1);
}

// The image's DbgPrint arguments come in Microsoft x64 slots, formatted in the kernel's dialect: 'l' is 32
// bits, 'I64' exists. Called through a pointer, as the image does, so the host's printf checks stay out of
// the way.
TEST(Trace, DbgPrintSpeaksTheKernelDialect) {
  host::trace::clear();
  auto print = &DbgPrint;
  print("%ld|%lu|%I64d|%I64x|%08x|%.2x|%5s|%-3d|%c|%hd|%s|%%|%q\n", -5L, 0xFFFFFFFFUL, -(1LL << 40),
        0x123456789abcULL, 0xbeefu, 7u, "ab", 4, 'z', 0x12345, static_cast<const char*>(nullptr));
  EXPECT_EQ(host::trace::text(),
            "-5|4294967295|-1099511627776|123456789abc|0000beef|07|   ab|4  |z|9029|(null)|%|%q\n");
  std::string longName(700, 'x');
  host::trace::clear();
  print("Entering %s\n", longName.c_str());
  EXPECT_EQ(host::trace::text(), "Entering " + longName + "\n");
  host::trace::clear();
}

// Wide strings and characters as the kernel takes them: 16-bit WCHARs with 'w' or 'l' or as %S and %C, a
// UNICODE_STRING by its length (no terminator needed), a precision counting characters; out in UTF-8.
TEST(Trace, DbgPrintFormatsWideTextAsTheKernelDoes) {
  const WCHAR name[] = {'z', 'a', 'd', 'i', 'v', 'o', 0};
  const WCHAR other[] = {0x00E9, 0x20AC, 0xD83D, 0xDCFA,
                         0xD800, '!',    0};              // e acute, euro, a pair, a lone half
  UNICODE_STRING counted{8, 8, const_cast<PWSTR>(name)};  // "zadi", the rest not counted
  host::trace::clear();
  auto print = &DbgPrint;
  print("%ws|%S|%ls|%wZ|%.3ws|%8ws|%-4wc|%C|%hs|%s|%ws|%wZ|%ws|%.0S\n", name, name, name, &counted, name,
        name, WCHAR('x'), WCHAR('y'), "narrow", "plain", other, static_cast<PUNICODE_STRING>(nullptr),
        static_cast<PCWSTR>(nullptr), name);
  EXPECT_EQ(
      host::trace::text(),
      "zadivo|zadivo|zadivo|zadi|zad|  zadivo|x   |y|narrow|plain|\u00e9\u20ac\U0001F4FA?!|(null)|(null)|\n");
  host::trace::clear();
}

TEST(Time, DelayRunsOnThePlatformClockAndTimeMovesForward) {
  LARGE_INTEGER a, b;
  KeQuerySystemTime(&a);
  ULONGLONG ia = KeQueryInterruptTime();
  LARGE_INTEGER d = relativeMs(2);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &d), STATUS_SUCCESS);
  KeQuerySystemTime(&b);
  EXPECT_GE(b.QuadPart - a.QuadPart, 2 * 10000);
  EXPECT_GE(KeQueryInterruptTime() - ia, 2u * 10000u);
  EXPECT_GT(a.QuadPart, 130000000000000000LL) << "system time counts from 1601";
}

}  // namespace
