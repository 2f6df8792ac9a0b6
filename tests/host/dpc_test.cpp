// DPC queueing, the two DPC threads and KeFlushQueuedDpcs.
#include "platform/kernel.h"
#include "tests/host/support.h"

using hosttest::waitFor;

namespace {

struct Probe {
  std::atomic<int> runs{0};
  std::atomic<int> inside{0};
  std::atomic<int> overlap{0};
  std::atomic<int> wrongIrql{0};
  std::atomic<bool> hold{false};
  std::atomic<bool> started{false};
  PVOID arg1 = nullptr;
};

VOID NTAPI probeDpc(PKDPC, PVOID ctx, PVOID a1, PVOID) {
  auto* p = static_cast<Probe*>(ctx);
  if (p->inside.fetch_add(1) != 0) p->overlap++;
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) p->wrongIrql++;
  p->arg1 = a1;
  p->started = true;
  // Sleeps rather than spins: DPC threads may outrank the test's own thread.
  while (p->hold.load()) std::this_thread::sleep_for(std::chrono::microseconds(50));
  p->inside--;
  p->runs++;
}

TEST(Dpc, QueuedTwiceRunsOnceAtDispatch) {
  Probe p;
  p.hold = true;
  KDPC blocker, dpc;
  Probe blockProbe;
  blockProbe.hold = true;
  // Keep both DPC threads busy so the second insert finds the DPC still queued.
  KDPC blocker2;
  Probe blockProbe2;
  blockProbe2.hold = true;
  KeInitializeDpc(&blocker, probeDpc, &blockProbe);
  KeInitializeDpc(&blocker2, probeDpc, &blockProbe2);
  KeInitializeDpc(&dpc, probeDpc, &p);
  ASSERT_TRUE(KeInsertQueueDpc(&blocker, nullptr, nullptr));
  ASSERT_TRUE(KeInsertQueueDpc(&blocker2, nullptr, nullptr));
  ASSERT_TRUE(waitFor([&] { return blockProbe.started && blockProbe2.started; }));
  p.hold = false;
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, (PVOID)1, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, (PVOID)2, nullptr));
  EXPECT_NE(dpc.DpcData, nullptr);
  blockProbe.hold = false;
  blockProbe2.hold = false;
  KeFlushQueuedDpcs();
  EXPECT_EQ(p.runs.load(), 1);
  EXPECT_EQ(p.arg1, (PVOID)1) << "the second insert was refused and changed nothing";
  EXPECT_EQ(p.wrongIrql.load() + blockProbe.wrongIrql.load(), 0);
  EXPECT_EQ(dpc.DpcData, nullptr);
  // Once run it can be queued again.
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  KeFlushQueuedDpcs();
  EXPECT_EQ(p.runs.load(), 2);
}

TEST(Dpc, RemoveQueuedDpcKeepsItFromRunning) {
  Probe block1, block2, p;
  block1.hold = block2.hold = true;
  KDPC b1, b2, dpc;
  KeInitializeDpc(&b1, probeDpc, &block1);
  KeInitializeDpc(&b2, probeDpc, &block2);
  KeInitializeDpc(&dpc, probeDpc, &p);
  KeInsertQueueDpc(&b1, nullptr, nullptr);
  KeInsertQueueDpc(&b2, nullptr, nullptr);
  ASSERT_TRUE(waitFor([&] { return block1.started && block2.started; }));
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
  block1.hold = block2.hold = false;
  KeFlushQueuedDpcs();
  EXPECT_EQ(p.runs.load(), 0);
}

TEST(Dpc, FlushWaitsForEveryDpcQueuedBefore) {
  constexpr int kN = 16;
  Probe probes[kN];
  KDPC dpcs[kN];
  for (int i = 0; i < kN; ++i) {
    KeInitializeDpc(&dpcs[i], probeDpc, &probes[i]);
    KeInsertQueueDpc(&dpcs[i], nullptr, nullptr);
  }
  KeFlushQueuedDpcs();
  for (auto& p : probes) EXPECT_EQ(p.runs.load(), 1);
}

// As on two processors: a DPC queued again while it runs is queued (not refused) and may start on the other
// thread before the first run ends.
TEST(Dpc, QueuedAgainWhileRunningMayRunBesideItself) {
  Probe p;
  p.hold = true;
  KDPC dpc;
  KeInitializeDpc(&dpc, probeDpc, &p);
  ASSERT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  ASSERT_TRUE(waitFor([&] { return p.started.load(); }));
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "a running DPC is not a queued one";
  EXPECT_TRUE(waitFor([&] { return p.inside.load() == 2; })) << "the second run waits for the first";
  p.hold = false;
  KeFlushQueuedDpcs();
  EXPECT_EQ(p.runs.load(), 2);
  EXPECT_EQ(p.overlap.load(), 1);
}

TEST(Dpc, TwoDpcsRunInParallel) {
  Probe a, b;
  a.hold = b.hold = true;
  KDPC da, db;
  KeInitializeDpc(&da, probeDpc, &a);
  KeInitializeDpc(&db, probeDpc, &b);
  KeInsertQueueDpc(&da, nullptr, nullptr);
  KeInsertQueueDpc(&db, nullptr, nullptr);
  EXPECT_TRUE(waitFor([&] { return a.started && b.started; })) << "two DPC threads, like two processors";
  a.hold = b.hold = false;
  KeFlushQueuedDpcs();
}

}  // namespace

// ---- Work items ------------------------------------------------------------------------------------------

namespace {

struct WorkProbe {
  KEVENT done;
  std::thread::id thread;
  KIRQL irql = HIGH_LEVEL;
  LONG references = 0;
};

VOID NTAPI probeWork(PDEVICE_OBJECT device, PVOID context) {
  auto* p = static_cast<WorkProbe*>(context);
  p->thread = std::this_thread::get_id();
  p->irql = KeGetCurrentIrql();
  p->references = __atomic_load_n(&device->ReferenceCount, __ATOMIC_RELAXED);
  KeSetEvent(&p->done, 0, FALSE);
}

}  // namespace

// Queued from DISPATCH_LEVEL, run at PASSIVE_LEVEL on a worker that holds the device object until it returns;
// the queuer may free the item as soon as the routine has signalled it.
TEST(WorkItem, RunsAtPassiveOnAWorkerThatHoldsTheDeviceObject) {
  DEVICE_OBJECT device{};
  WorkProbe probe;
  KeInitializeEvent(&probe.done, NotificationEvent, FALSE);
  PIO_WORKITEM item = IoAllocateWorkItem(&device);
  ASSERT_NE(item, nullptr);
  host::setThreadIrql(DISPATCH_LEVEL);
  IoQueueWorkItem(item, probeWork, DelayedWorkQueue, &probe);
  host::setThreadIrql(PASSIVE_LEVEL);
  ASSERT_EQ(KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  IoFreeWorkItem(item);
  EXPECT_NE(probe.thread, std::this_thread::get_id());
  EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
  EXPECT_EQ(probe.references, 1);
  EXPECT_TRUE(waitFor([&] { return __atomic_load_n(&device.ReferenceCount, __ATOMIC_RELAXED) == 0; }));
}
