// Deferred procedure calls: one FIFO threaded through KDPC.DpcListEntry, run at DISPATCH_LEVEL by two DPC
// threads (like two processors) ranked above every ordinary thread (platform/host/realtime.h), and by each
// interrupt thread right after its ISR: on Windows the processor that took an interrupt runs the DPCs its ISR
// queued on its way down from the interrupt's level, with no thread to wake. DpcData holds the DPC's queue
// sequence number while it is queued, which lets KeFlushQueuedDpcs wait for exactly the DPCs queued before
// it. As on Windows, a DPC queued again while it runs may start on another runner before the first run ends:
// code that relies on the opposite is caught here rather than on a customer's machine.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/host/internal.h"
#include "platform/host/kstack.h"
#include "platform/host/realtime.h"

namespace host {
namespace detail {

struct DpcRunner::Slot {
  PRKDPC dpc = nullptr;  // the DPC this runner runs now
  uint64_t seq = 0;
};

}  // namespace detail

namespace {

constexpr int kDpcThreads = 2;

using Slot = detail::DpcRunner::Slot;
thread_local Slot* tInterruptSlot = nullptr;  // set on interrupt threads

class DpcEngine {
 public:
  DpcEngine() {
    head_.Flink = head_.Blink = &head_;
    for (int i = 0; i < kDpcThreads; ++i) std::thread([this] { run(); }).detach();
  }

  bool insert(PRKDPC dpc, PVOID a1, PVOID a2) {
    bool wake;
    {
      std::lock_guard<std::mutex> g(m_);
      if (dpc->DpcData) return false;
      // An interrupt thread runs the first DPC its ISR queues itself; a DPC thread helps with the others.
      wake = !tInterruptSlot || head_.Flink != &head_;
      dpc->SystemArgument1 = a1;
      dpc->SystemArgument2 = a2;
      dpc->DpcData = reinterpret_cast<PVOID>(++lastSeq_);
      PLIST_ENTRY e = &dpc->DpcListEntry;
      e->Flink = &head_;
      e->Blink = head_.Blink;
      head_.Blink->Flink = e;
      head_.Blink = e;
      queued_++;
    }
    // Woken outside the lock, so that the DPC thread does not wake only to wait for the lock.
    if (wake) work_.notify_one();
    return true;
  }

  bool remove(PRKDPC dpc) {
    std::lock_guard<std::mutex> g(m_);
    if (!dpc->DpcData) return false;
    unlink(dpc);
    done_.notify_all();
    return true;
  }

  void flush() {
    std::unique_lock<std::mutex> g(m_);
    uint64_t target = lastSeq_;
    done_.wait(g, [&] { return !pendingUpTo(target); });
  }

  size_t queued() {
    std::lock_guard<std::mutex> g(m_);
    return queued_;
  }

  void setPaused(bool paused) {
    std::lock_guard<std::mutex> g(m_);
    paused_ = paused;
    if (!paused) work_.notify_all();
  }
  uint64_t runs() { return runs_.load(); }

  void attach(Slot* slot) {
    std::lock_guard<std::mutex> g(m_);
    slots_.push_back(slot);
  }
  void detach(Slot* slot) {
    std::lock_guard<std::mutex> g(m_);
    slots_.erase(std::find(slots_.begin(), slots_.end(), slot));
  }

  // Runs queued DPCs until none is left (or the engine is paused).
  void drain(Slot* slot) {
    std::unique_lock<std::mutex> g(m_);
    while (PRKDPC d = takeRunnable()) runOne(g, slot, d);
  }

 private:
  void unlink(PRKDPC dpc) {
    PLIST_ENTRY e = &dpc->DpcListEntry;
    e->Blink->Flink = e->Flink;
    e->Flink->Blink = e->Blink;
    e->Flink = e->Blink = nullptr;
    dpc->DpcData = nullptr;
    queued_--;
  }

  bool pendingUpTo(uint64_t target) {
    for (Slot* s : slots_)
      if (s->dpc && s->seq <= target) return true;
    for (PLIST_ENTRY e = head_.Flink; e != &head_; e = e->Flink) {
      PRKDPC d = CONTAINING_RECORD(e, KDPC, DpcListEntry);
      if (reinterpret_cast<uint64_t>(d->DpcData) <= target) return true;
    }
    return false;
  }

  PRKDPC takeRunnable() {
    if (paused_ || head_.Flink == &head_) return nullptr;
    return CONTAINING_RECORD(head_.Flink, KDPC, DpcListEntry);
  }

  // Runs d at DISPATCH_LEVEL without the engine lock, which is held on entry and on return.
  void runOne(std::unique_lock<std::mutex>& g, Slot* slot, PRKDPC d) {
    slot->seq = reinterpret_cast<uint64_t>(d->DpcData);
    slot->dpc = d;
    unlink(d);  // may be queued again while it runs
    PKDEFERRED_ROUTINE routine = d->DeferredRoutine;
    PVOID ctx = d->DeferredContext, a1 = d->SystemArgument1, a2 = d->SystemArgument2;
    g.unlock();
    setThreadIrql(DISPATCH_LEVEL);
    kstack::call(routine, d, ctx, a1, a2);
    if (KeGetCurrentIrql() != DISPATCH_LEVEL)
      HOST_MISUSE("DPC returned at an IRQL other than DISPATCH_LEVEL");
    runs_.fetch_add(1);
    g.lock();
    slot->dpc = nullptr;
    done_.notify_all();
  }

  void run() {
    realtime::enter(realtime::Rank::Dpc);
    Slot slot;
    attach(&slot);
    std::unique_lock<std::mutex> g(m_);
    for (;;) {
      PRKDPC d;
      work_.wait(g, [&] { return (d = takeRunnable()) != nullptr; });
      runOne(g, &slot, d);
    }
  }

  std::mutex m_;
  std::condition_variable work_, done_;
  LIST_ENTRY head_;
  uint64_t lastSeq_ = 0;
  size_t queued_ = 0;
  bool paused_ = false;       // test hook: queued DPCs wait until resumed
  std::vector<Slot*> slots_;  // every runner's
  std::atomic<uint64_t> runs_{0};
};

DpcEngine& engine() {
  static DpcEngine* e = new DpcEngine;  // its threads live as long as the process
  return *e;
}

}  // namespace

detail::DpcRunner::DpcRunner() : slot_(new Slot) {
  engine().attach(slot_);
  tInterruptSlot = slot_;
}

detail::DpcRunner::~DpcRunner() {
  tInterruptSlot = nullptr;
  engine().detach(slot_);
  delete slot_;
}

void detail::DpcRunner::runQueued() { engine().drain(slot_); }

namespace dpc {
size_t queuedCount() { return engine().queued(); }
uint64_t runCount() { return engine().runs(); }
void pause() { engine().setPaused(true); }
void resume() { engine().setPaused(false); }
}  // namespace dpc

}  // namespace host

using namespace host;

extern "C" VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = 19;  // DpcObject
  Dpc->Importance = 1;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

extern "C" BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  if (!Dpc->DeferredRoutine) {
    HOST_MISUSE("KeInsertQueueDpc of a DPC that was not initialised");
    return FALSE;
  }
  return engine().insert(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

extern "C" BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) { return engine().remove(Dpc) ? TRUE : FALSE; }

extern "C" VOID KeFlushQueuedDpcs(VOID) {
  HOST_REQUIRE(KeGetCurrentIrql() == PASSIVE_LEVEL, "KeFlushQueuedDpcs above PASSIVE_LEVEL");
  engine().flush();
}
