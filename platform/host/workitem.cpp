// Work items: IoQueueWorkItem's routine runs at PASSIVE_LEVEL on a system worker thread (ordinary priority),
// with a reference on the work item's device object until it returns. As on Windows the item itself is not
// touched once its routine has started, so the routine may signal its queuer, which then frees the item.
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/host/internal.h"
#include "platform/host/kstack.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device = nullptr;
  bool queued = false;  // waiting for a worker; guarded by the workers' lock
};

namespace host::detail {
namespace {

struct Job {
  PIO_WORKITEM item;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
};

class Workers {
 public:
  // A few threads, as the system's delayed work queue has: one routine that waits does not hold up the rest.
  static constexpr int kThreads = 4;

  Workers() {
    for (int i = 0; i < kThreads; ++i) std::thread([this] { run(); }).detach();
  }
  // False when the item is queued already.
  bool queue(const Job& job) {
    {
      std::lock_guard<std::mutex> g(m);
      if (job.item->queued) return false;
      job.item->queued = true;
      __atomic_fetch_add(&job.item->device->ReferenceCount, 1, __ATOMIC_RELAXED);
      jobs_.push_back(job);
      ++inFlight_[job.item->device];
    }
    cv_.notify_one();
    return true;
  }
  void waitFor(PDEVICE_OBJECT device) {
    std::unique_lock<std::mutex> l(m);
    idle_.wait(l, [&] { return inFlight_.count(device) == 0; });
  }
  bool queued(PIO_WORKITEM item) {
    std::lock_guard<std::mutex> g(m);
    return item->queued;
  }

 private:
  void run() {
    for (;;) {
      Job job;
      PDEVICE_OBJECT device;
      {
        std::unique_lock<std::mutex> l(m);
        cv_.wait(l, [this] { return !jobs_.empty(); });
        job = jobs_.front();
        jobs_.pop_front();
        job.item->queued = false;
        device = job.item->device;
      }
      kstack::call(job.routine, device, job.context);
      if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        HOST_MISUSE("work item routine returned above PASSIVE_LEVEL");
        setThreadIrql(PASSIVE_LEVEL);
      }
      {
        std::lock_guard<std::mutex> g(m);
        __atomic_sub_fetch(&device->ReferenceCount, 1, __ATOMIC_RELAXED);
        if (--inFlight_[device] == 0) inFlight_.erase(device);
      }
      idle_.notify_all();
    }
  }

  std::mutex m;
  std::condition_variable cv_;
  std::condition_variable idle_;
  std::deque<Job> jobs_;
  std::map<PDEVICE_OBJECT, int> inFlight_;  // items queued or running, per device object
};

Workers& workers() {
  static Workers* w = new Workers;  // its threads live as long as the process
  return *w;
}

}  // namespace

void waitForWorkItems(PDEVICE_OBJECT device) { workers().waitFor(device); }

}  // namespace host::detail

using namespace host;

extern "C" PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  if (!HOST_REQUIRE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "IoAllocateWorkItem above DISPATCH_LEVEL"))
    return nullptr;
  if (!HOST_REQUIRE(DeviceObject, "IoAllocateWorkItem without a device object")) return nullptr;
  auto* item = new _IO_WORKITEM;
  item->device = DeviceObject;
  return item;
}

extern "C" VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                WORK_QUEUE_TYPE QueueType, PVOID Context) {
  UNREFERENCED_PARAMETER(QueueType);
  if (!HOST_REQUIRE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "IoQueueWorkItem above DISPATCH_LEVEL")) return;
  if (!HOST_REQUIRE(IoWorkItem && WorkerRoutine, "IoQueueWorkItem without a work item or routine")) return;
  // Reported outside the workers' lock: the assertion handler may do anything.
  HOST_REQUIRE(detail::workers().queue({IoWorkItem, WorkerRoutine, Context}),
               "IoQueueWorkItem of a work item already queued");
}

extern "C" VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  if (!HOST_REQUIRE(IoWorkItem, "IoFreeWorkItem of a null work item")) return;
  // A queued item stays: a bugcheck frees nothing.
  if (!HOST_REQUIRE(!detail::workers().queued(IoWorkItem), "IoFreeWorkItem of a work item still queued"))
    return;
  delete IoWorkItem;
}
