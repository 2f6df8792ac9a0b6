// Scheduling ranks: DPC, interrupt and IRQL-raised threads above ordinary threads and interrupts above DPCs,
// where the process may use real-time scheduling; the watchdog takes the rank from a thread that keeps a
// processor busy and gives it back once the thread calms down.
#include "platform/host/realtime.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/kernel.h"
#include "tests/host/machine.h"

using hosttest::BareMachine;
using hosttest::FakeCard;
using hosttest::waitFor;

namespace {

struct Policy {
  int policy = -1;
  int priority = -1;
};

Policy thisThread() {
  Policy p;
  sched_param s{};
  pthread_getschedparam(pthread_self(), &p.policy, &s);
  p.policy &= ~SCHED_RESET_ON_FORK;
  p.priority = s.sched_priority;
  return p;
}

VOID NTAPI recordDpc(PKDPC, PVOID ctx, PVOID, PVOID) { *static_cast<Policy*>(ctx) = thisThread(); }

struct IsrRecord {
  volatile ULONG* regs = nullptr;
  Policy seen;
  std::atomic<bool> done{false};
};

BOOLEAN NTAPI recordIsr(PKINTERRUPT, PVOID ctx) {
  auto* r = static_cast<IsrRecord*>(ctx);
  ULONG status = READ_REGISTER_ULONG(r->regs);
  if (status == 0) return FALSE;
  WRITE_REGISTER_ULONG(r->regs, status);
  r->seen = thisThread();
  r->done = true;
  return TRUE;
}

// Ranks are decided at the first ranked thread; a queued DPC starts the DPC threads.
bool realtimeInUse(Policy* dpc = nullptr) {
  Policy p;
  KDPC d;
  KeInitializeDpc(&d, recordDpc, &p);
  KeInsertQueueDpc(&d, nullptr, nullptr);
  KeFlushQueuedDpcs();
  if (dpc) *dpc = p;
  return host::realtime::enabled();
}

TEST(Realtime, InterruptAboveDpcAboveOrdinaryThreadsAndRaisedIrqlTakesItsLevelsRank) {
  Policy dpc;
  if (!realtimeInUse(&dpc)) GTEST_SKIP() << "real-time scheduling is not permitted here";
  EXPECT_EQ(dpc.policy, SCHED_FIFO);

  FakeCard card{3, 7, 0x41, 0xF0000000};  // outlives the machine, which unplugs it on the way out
  BareMachine machine;
  ASSERT_EQ(machine.pnp.addCard(card), STATUS_SUCCESS);
  PHYSICAL_ADDRESS bar;
  bar.QuadPart = 0xF0000000;
  IsrRecord isr;
  isr.regs = static_cast<volatile ULONG*>(MmMapIoSpace(bar, 0x1000, MmNonCached));
  PKINTERRUPT irq = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&irq, recordIsr, &isr, nullptr, 0x41, host::kDeviceIrql, host::kDeviceIrql,
                               LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  card.raise(1);
  ASSERT_TRUE(waitFor([&] { return isr.done.load(); }));
  EXPECT_EQ(isr.seen.policy, SCHED_FIFO);
  EXPECT_GT(isr.seen.priority, dpc.priority);

  const Policy ordinary = thisThread();
  EXPECT_NE(ordinary.policy, SCHED_FIFO);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  const Policy raised = thisThread();
  KeRaiseIrql(host::kDeviceIrql, &old);
  const Policy device = thisThread();
  KeLowerIrql(PASSIVE_LEVEL);
  EXPECT_EQ(raised.policy, SCHED_FIFO);
  EXPECT_EQ(raised.priority, dpc.priority);
  EXPECT_EQ(device.priority, isr.seen.priority);
  EXPECT_EQ(thisThread().policy, ordinary.policy);

  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeAcquireSpinLock(&lock, &old);
  const Policy locked = thisThread();
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(locked.priority, dpc.priority);
  EXPECT_EQ(thisThread().policy, ordinary.policy);

  IoDisconnectInterrupt(irq);
  MmUnmapIoSpace((PVOID)isr.regs, 0x1000);
}

struct Hog {
  std::chrono::milliseconds busy;
  Policy after;
};

// Keeps its processor busy (a fault: DPCs must be short) and then notes its rank.
VOID NTAPI hogDpc(PKDPC, PVOID ctx, PVOID, PVOID) {
  auto* h = static_cast<Hog*>(ctx);
  const auto end = std::chrono::steady_clock::now() + h->busy;
  while (std::chrono::steady_clock::now() < end) {
  }
  h->after = thisThread();
}

struct Pair {
  std::atomic<int> arrived{0}, ranked{0};
};

VOID NTAPI pairDpc(PKDPC, PVOID ctx, PVOID, PVOID) {
  auto* p = static_cast<Pair*>(ctx);
  p->arrived++;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (p->arrived.load() < 2 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  if (thisThread().policy == SCHED_FIFO) p->ranked++;
}

TEST(Realtime, WatchdogDemotesAThreadThatKeepsAProcessorBusyAndRestoresItOnceCalm) {
  Policy dpc;
  if (!realtimeInUse(&dpc)) GTEST_SKIP() << "real-time scheduling is not permitted here";
  const uint64_t before = host::realtime::demotions();
  Hog hog{std::chrono::milliseconds(300), {}};
  KDPC d;
  KeInitializeDpc(&d, hogDpc, &hog);
  KeInsertQueueDpc(&d, nullptr, nullptr);
  KeFlushQueuedDpcs();
  EXPECT_GT(host::realtime::demotions(), before);
  EXPECT_NE(hog.after.policy, SCHED_FIFO) << "still ranked after 300 ms of a busy processor";
  // So does an ordinary thread that raised its IRQL.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  Hog raised{std::chrono::milliseconds(300), {}};
  hogDpc(nullptr, &raised, nullptr, nullptr);
  KeLowerIrql(old);
  EXPECT_NE(raised.after.policy, SCHED_FIFO) << "still ranked after 300 ms at DISPATCH_LEVEL";
  // Idle again, both DPC threads get their rank back: two DPCs that meet each hold one of them.
  EXPECT_TRUE(waitFor([&] {
    Pair pair;
    KDPC a, b;
    KeInitializeDpc(&a, pairDpc, &pair);
    KeInitializeDpc(&b, pairDpc, &pair);
    KeInsertQueueDpc(&a, nullptr, nullptr);
    KeInsertQueueDpc(&b, nullptr, nullptr);
    KeFlushQueuedDpcs();
    return pair.ranked.load() == 2;
  }));
}

// A thread whose wait an event set with a priority increment satisfies runs above ordinary threads: asleep or
// still on its way to the wait when the set comes. It keeps the stint while such wakes go on, loses it when
// it sleeps by the clock or a tick passes without one, and a thread it starts does not inherit it.
// The calling thread's policy as the kernel has it (a boost is set from another thread, which the C library's
// cached view of a thread's own policy does not see).
int kernelPolicy() { return sched_getscheduler(0) & ~SCHED_RESET_ON_FORK; }

TEST(Realtime, EventSetWithAnIncrementBoostsTheThreadItWakesForAStint) {
  if (!realtimeInUse()) GTEST_SKIP() << "real-time scheduling is not permitted here";
  struct Case {
    KPRIORITY increment;
    bool setFirst;
  };
  for (Case c : {Case{IO_NO_INCREMENT, false}, Case{EVENT_INCREMENT, false}, Case{EVENT_INCREMENT, true}}) {
    SCOPED_TRACE(std::to_string(c.increment) + (c.setFirst ? ", set before the wait" : ", set during it"));
    KEVENT ev;
    KeInitializeEvent(&ev, SynchronizationEvent, FALSE);
    if (c.setFirst) KeSetEvent(&ev, c.increment, FALSE);
    int woken = -1, child = -1, afterDelay = -1;
    std::thread t([&] {
      KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
      woken = kernelPolicy();
      std::thread([&] { child = kernelPolicy(); }).join();
      LARGE_INTEGER ms{};
      ms.QuadPart = -10000;
      KeDelayExecutionThread(KernelMode, FALSE, &ms);
      afterDelay = kernelPolicy();
    });
    if (!c.setFirst) {
      // Asleep in the wait: the event counts its sleepers there.
      ASSERT_TRUE(waitFor([&] { return __atomic_load_n(&ev.Header.WaitListHead.Flink, __ATOMIC_ACQUIRE); }));
      KeSetEvent(&ev, c.increment, FALSE);
    }
    t.join();
    EXPECT_EQ(woken, c.increment ? SCHED_FIFO : SCHED_OTHER);
    EXPECT_EQ(child, SCHED_OTHER);
    EXPECT_EQ(afterDelay, SCHED_OTHER);
  }
  // Without further wakes the stint runs out at a watchdog tick.
  KEVENT ev;
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  KeSetEvent(&ev, EVENT_INCREMENT, FALSE);
  int woken = -1;
  std::atomic<bool> ordinary{false};
  std::thread t([&] {
    KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
    woken = kernelPolicy();
    ordinary = waitFor([] { return kernelPolicy() == SCHED_OTHER; });
  });
  t.join();
  EXPECT_EQ(woken, SCHED_FIFO);
  EXPECT_TRUE(ordinary);
}

}  // namespace
