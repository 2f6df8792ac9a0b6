// Deferred procedure calls: one FIFO threaded through KDPC.DpcListEntry and two DPC threads (like two
// processors) that run them at DISPATCH_LEVEL. DpcData holds the DPC's queue sequence number while it is
// queued, which lets KeFlushQueuedDpcs wait for exactly the DPCs queued before it. A DPC object is never run
// on both threads at once: a thread skips a DPC whose previous run is still going on the other one.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/host/internal.h"

namespace host {
namespace {

constexpr int kDpcThreads = 2;

struct Running {
  PRKDPC dpc = nullptr;
  uint64_t seq = 0;
};

class DpcEngine {
 public:
  DpcEngine() {
    head_.Flink = head_.Blink = &head_;
    for (int i = 0; i < kDpcThreads; ++i) std::thread([this, i] { run(i); }).detach();
  }

  bool insert(PRKDPC dpc, PVOID a1, PVOID a2) {
    std::lock_guard<std::mutex> g(m_);
    if (dpc->DpcData) return false;
    dpc->SystemArgument1 = a1;
    dpc->SystemArgument2 = a2;
    dpc->DpcData = reinterpret_cast<PVOID>(++lastSeq_);
    PLIST_ENTRY e = &dpc->DpcListEntry;
    e->Flink = &head_;
    e->Blink = head_.Blink;
    head_.Blink->Flink = e;
    head_.Blink = e;
    queued_++;
    work_.notify_one();
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
    for (auto& r : running_)
      if (r.dpc && r.seq <= target) return true;
    for (PLIST_ENTRY e = head_.Flink; e != &head_; e = e->Flink) {
      PRKDPC d = CONTAINING_RECORD(e, KDPC, DpcListEntry);
      if (reinterpret_cast<uint64_t>(d->DpcData) <= target) return true;
    }
    return false;
  }

  // First queued DPC that is not running on another thread.
  PRKDPC takeRunnable() {
    if (paused_) return nullptr;
    for (PLIST_ENTRY e = head_.Flink; e != &head_; e = e->Flink) {
      PRKDPC d = CONTAINING_RECORD(e, KDPC, DpcListEntry);
      bool busy = false;
      for (auto& r : running_) busy = busy || r.dpc == d;
      if (!busy) return d;
    }
    return nullptr;
  }

  void run(int index) {
    setThreadIrql(DISPATCH_LEVEL);
    std::unique_lock<std::mutex> g(m_);
    for (;;) {
      PRKDPC d;
      work_.wait(g, [&] { return (d = takeRunnable()) != nullptr; });
      uint64_t seq = reinterpret_cast<uint64_t>(d->DpcData);
      unlink(d);  // may be queued again while it runs
      running_[index] = {d, seq};
      PKDEFERRED_ROUTINE routine = d->DeferredRoutine;
      PVOID ctx = d->DeferredContext, a1 = d->SystemArgument1, a2 = d->SystemArgument2;
      g.unlock();
      routine(d, ctx, a1, a2);
      if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
        HOST_MISUSE("DPC returned at an IRQL other than DISPATCH_LEVEL");
        setThreadIrql(DISPATCH_LEVEL);
      }
      runs_.fetch_add(1);
      g.lock();
      running_[index] = {};
      done_.notify_all();
      work_.notify_one();  // a DPC skipped while this one ran may be runnable now
    }
  }

  std::mutex m_;
  std::condition_variable work_, done_;
  LIST_ENTRY head_;
  uint64_t lastSeq_ = 0;
  size_t queued_ = 0;
  bool paused_ = false;  // test hook: queued DPCs wait until resumed
  Running running_[kDpcThreads];
  std::atomic<uint64_t> runs_{0};
};

DpcEngine& engine() {
  static DpcEngine* e = new DpcEngine;  // its threads live as long as the process
  return *e;
}

}  // namespace

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
