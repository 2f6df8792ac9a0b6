// IRQL, dispatcher objects (events, mutexes), spin locks, waits and time. Objects live entirely in the
// caller's storage: SignalState is the futex word, WaitListHead.Flink counts sleepers so a set without
// sleepers costs no system call. A waiter spins briefly first: on this machine waking a sleeping thread on an
// idle core costs far more than the typical I2C completion latency.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/host/clock.h"
#include "platform/host/internal.h"
#include "platform/host/realtime.h"

#ifdef HOST_TSAN
#include <sanitizer/tsan_interface.h>
#define TSAN_ACQUIRE(p) __tsan_acquire(p)
#define TSAN_RELEASE(p) __tsan_release(p)
#else
#define TSAN_ACQUIRE(p) ((void)(p))
#define TSAN_RELEASE(p) ((void)(p))
#endif

namespace host {
namespace {

thread_local KIRQL tIrql = PASSIVE_LEVEL;
alignas(8) thread_local char tThreadTag = 0;

// Dispatcher object type in the low byte of Header.Lock, size in longs in byte 2 (as Windows lays them out).
constexpr LONG kTypeNotification = 0;
constexpr LONG kTypeSynchronization = 1;
constexpr LONG kTypeMutant = 2;
constexpr LONG kEventSize = sizeof(KEVENT) / sizeof(LONG);
constexpr LONG kMutexSize = sizeof(KMUTEX) / sizeof(LONG);
constexpr LONG header(LONG type, LONG size) { return type | (size << 16); }

constexpr auto kSpin = std::chrono::microseconds(20);

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

LONG* word(DISPATCHER_HEADER* h) { return &h->SignalState; }
ULONG_PTR* sleepers(DISPATCHER_HEADER* h) { return reinterpret_cast<ULONG_PTR*>(&h->WaitListHead.Flink); }
// An event's last set came with a priority increment.
ULONG_PTR* boosting(DISPATCHER_HEADER* h) { return reinterpret_cast<ULONG_PTR*>(&h->WaitListHead.Blink); }

void futexWake(LONG* addr, int n) {
  syscall(SYS_futex, addr, FUTEX_WAKE | FUTEX_PRIVATE_FLAG, n, nullptr, nullptr, 0);
}

// Sleeps while *addr == expected, until the absolute CLOCK_MONOTONIC deadline (nullptr = none).
void futexWait(LONG* addr, LONG expected, const timespec* deadline) {
  syscall(SYS_futex, addr, FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected, deadline, nullptr,
          FUTEX_BITSET_MATCH_ANY);
}

// Windows system time: 100 ns units since 1601, here the wall clock at start plus platform time.
constexpr int64_t kEpochDelta = 116444736000000000LL;  // 1601 -> 1970 in 100 ns
int64_t systemTimeBase() {
  static const int64_t base = [] {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return kEpochDelta + ts.tv_sec * 10000000LL + ts.tv_nsec / 100 - clock::nowNs() / 100;
  }();
  return base;
}
int64_t systemTimeNow() { return systemTimeBase() + clock::nowNs() / 100; }

// A wait timeout in real time (waits are safety nets, not schedules: never scaled).
struct Deadline {
  bool infinite = true;
  bool poll = false;
  timespec at{};
  bool passed() const {
    if (infinite) return false;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > at.tv_sec || (now.tv_sec == at.tv_sec && now.tv_nsec >= at.tv_nsec);
  }
};
Deadline deadlineOf(const LARGE_INTEGER* timeout) {
  Deadline d;
  if (!timeout) return d;
  d.infinite = false;
  int64_t units = timeout->QuadPart;
  int64_t relative = units < 0 ? -units : units - systemTimeNow();  // absolute: system time
  if (relative <= 0 || units == 0) {
    d.poll = true;
    relative = 0;
  }
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t ns = now.tv_nsec + (relative % 10000000) * 100;
  d.at.tv_sec = now.tv_sec + relative / 10000000 + ns / 1000000000;
  d.at.tv_nsec = ns % 1000000000;
  return d;
}

// Ordinary threads waiting on an event, so that KeSetEvent with a priority increment can boost them before it
// wakes them. A waiter leaves before its wait returns, so every thread found here still exists.
class EventWaiters {
 public:
  class Entry {
   public:
    Entry(EventWaiters& all, const void* event) : all_(all), active_(realtime::boostable()) {
      if (!active_) return;
      std::lock_guard<realtime::Mutex> g(all_.m_);
      all_.list_.push_back({event, realtime::self()});
    }
    ~Entry() {
      if (!active_) return;
      const pid_t tid = realtime::self();
      std::lock_guard<realtime::Mutex> g(all_.m_);
      for (auto it = all_.list_.begin(); it != all_.list_.end(); ++it)
        if (it->tid == tid) {
          all_.list_.erase(it);
          break;
        }
    }

   private:
    EventWaiters& all_;
    const bool active_;
  };
  void boost(const void* event) {
    std::lock_guard<realtime::Mutex> g(m_);
    for (const Listed& l : list_)
      if (l.event == event) realtime::boost(l.tid);
  }

 private:
  struct Listed {
    const void* event;
    pid_t tid;
  };
  realtime::Mutex m_;
  std::vector<Listed> list_;
};

EventWaiters& eventWaiters() {
  static EventWaiters* w = new EventWaiters;
  return *w;
}

// Generic wait: tryTake(observed) attempts to satisfy the wait given the word's value. A thread waiting on an
// event is listed for a boost, spinning or asleep: a Windows thread would be blocked all along.
template <class TryTake>
NTSTATUS waitOn(DISPATCHER_HEADER* h, const Deadline& d, bool event, TryTake tryTake) {
  LONG* w = word(h);
  if (tryTake(__atomic_load_n(w, __ATOMIC_ACQUIRE))) return STATUS_SUCCESS;
  if (d.poll) return STATUS_TIMEOUT;
  std::optional<EventWaiters::Entry> listed;
  if (event) listed.emplace(eventWaiters(), h);
  auto spinEnd = std::chrono::steady_clock::now() + kSpin;
  do {
    for (int i = 0; i < 64; ++i) cpuRelax();
    if (tryTake(__atomic_load_n(w, __ATOMIC_ACQUIRE))) return STATUS_SUCCESS;
  } while (std::chrono::steady_clock::now() < spinEnd);

  __atomic_fetch_add(sleepers(h), 1, __ATOMIC_SEQ_CST);
  NTSTATUS result = STATUS_TIMEOUT;
  for (;;) {
    LONG v = __atomic_load_n(w, __ATOMIC_SEQ_CST);
    if (tryTake(v)) {
      result = STATUS_SUCCESS;
      break;
    }
    if (d.passed()) break;
    futexWait(w, v, d.infinite ? nullptr : &d.at);
  }
  __atomic_fetch_sub(sleepers(h), 1, __ATOMIC_SEQ_CST);
  return result;
}

void wakeSleepers(DISPATCHER_HEADER* h, int n) {
  if (__atomic_load_n(sleepers(h), __ATOMIC_SEQ_CST) != 0) futexWake(word(h), n);
}

bool checkEvent(PRKEVENT e, const char* fn) {
  LONG lock = __atomic_load_n(&e->Header.Lock, __ATOMIC_RELAXED);
  if (lock == header(kTypeNotification, kEventSize) || lock == header(kTypeSynchronization, kEventSize))
    return true;
  HOST_MISUSE(fn);
  return false;
}

NTSTATUS waitEvent(PRKEVENT e, const Deadline& d) {
  DISPATCHER_HEADER* h = &e->Header;
  NTSTATUS s;
  if ((h->Lock & 0xFF) == kTypeSynchronization) {
    s = waitOn(h, d, true, [w = word(h)](LONG v) {
      LONG one = 1;
      return v == 1 && __atomic_compare_exchange_n(w, &one, 0, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED);
    });
  } else {
    s = waitOn(h, d, true, [](LONG v) { return v != 0; });
  }
  if (s == STATUS_SUCCESS) {
    TSAN_ACQUIRE(e);
    // The emulated card completes at once, so the set often comes before the wait that a Windows thread
    // would have been blocked in: the boost goes to the thread whose wait it satisfies all the same.
    if (__atomic_load_n(boosting(h), __ATOMIC_RELAXED) && realtime::boostable())
      realtime::boost(realtime::self());
  }
  return s;
}

struct _KTHREAD* self() {
  return reinterpret_cast<struct _KTHREAD*>(&tThreadTag);
}

NTSTATUS waitMutex(PRKMUTEX m, const Deadline& d) {
  DISPATCHER_HEADER* h = &m->Header;
  struct _KTHREAD* me = self();
  if (__atomic_load_n(&m->OwnerThread, __ATOMIC_RELAXED) == me) {
    __atomic_fetch_sub(word(h), 1, __ATOMIC_RELAXED);  // recursion
    return STATUS_SUCCESS;
  }
  NTSTATUS s = waitOn(h, d, false, [m, w = word(h), me](LONG v) {
    LONG one = 1;
    if (v != 1 || !__atomic_compare_exchange_n(w, &one, 0, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED))
      return false;
    __atomic_store_n(&m->OwnerThread, me, __ATOMIC_RELAXED);
    return true;
  });
  if (s == STATUS_SUCCESS) TSAN_ACQUIRE(m);
  return s;
}

}  // namespace

void setThreadIrql(KIRQL irql) { tIrql = irql; }

namespace detail {
struct _KTHREAD* currentThread() {
  return self();
}

void acquireRaw(PKSPIN_LOCK lock) {
  ULONG_PTR me = reinterpret_cast<ULONG_PTR>(self()) | 1;
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
    HOST_MISUSE("spin lock acquired again by its owner (deadlock)");
    return;
  }
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, true, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
    while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) cpuRelax();
  }
  TSAN_ACQUIRE(lock);
}

void releaseRaw(PKSPIN_LOCK lock) {
  ULONG_PTR me = reinterpret_cast<ULONG_PTR>(self()) | 1;
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) != me) {
    HOST_MISUSE("spin lock released by a thread that does not hold it");
    return;
  }
  TSAN_RELEASE(lock);
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}
}  // namespace detail

}  // namespace host

using namespace host;

// ---- IRQL
// ---------------------------------------------------------------------------------------------------
extern "C" KIRQL KeGetCurrentIrql(VOID) { return tIrql; }

// Raising and lowering also move the thread between scheduling ranks, as a processor at DISPATCH_LEVEL or
// above is not taken from its thread.
extern "C" VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  HOST_REQUIRE(NewIrql >= tIrql, "KeRaiseIrql to a level below the current IRQL");
  if (OldIrql) *OldIrql = tIrql;
  tIrql = NewIrql;
  realtime::atIrql(NewIrql);
}

extern "C" VOID KeLowerIrql(KIRQL NewIrql) {
  HOST_REQUIRE(NewIrql <= tIrql, "KeLowerIrql to a level above the current IRQL");
  tIrql = NewIrql;
  realtime::atIrql(NewIrql);
}

// ---- Spin locks
// ---------------------------------------------------------------------------------------------
extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELAXED);
}

extern "C" VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  HOST_REQUIRE(tIrql <= DISPATCH_LEVEL, "KeAcquireSpinLock above DISPATCH_LEVEL");
  KIRQL old = tIrql;
  tIrql = DISPATCH_LEVEL > old ? DISPATCH_LEVEL : old;
  realtime::atIrql(tIrql);
  detail::acquireRaw(SpinLock);
  *OldIrql = old;
}

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  KIRQL old;
  KeAcquireSpinLock(SpinLock, &old);
  return old;
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  detail::releaseRaw(SpinLock);
  KeLowerIrql(NewIrql);
}

extern "C" VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  HOST_REQUIRE(tIrql >= DISPATCH_LEVEL, "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
  detail::acquireRaw(SpinLock);
}

extern "C" VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  HOST_REQUIRE(tIrql >= DISPATCH_LEVEL, "KeReleaseSpinLockFromDpcLevel below DISPATCH_LEVEL");
  detail::releaseRaw(SpinLock);
}

// ---- Events
// -------------------------------------------------------------------------------------------------
extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Lock =
      header(Type == SynchronizationEvent ? kTypeSynchronization : kTypeNotification, kEventSize);
  Event->Header.WaitListHead.Flink = nullptr;
  Event->Header.WaitListHead.Blink = nullptr;
  __atomic_store_n(&Event->Header.SignalState, State ? 1 : 0, __ATOMIC_RELEASE);
}

// A priority increment boosts the threads the set wakes, as Windows raises their priority.
extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Wait;
  HOST_REQUIRE(tIrql <= DISPATCH_LEVEL, "KeSetEvent above DISPATCH_LEVEL");
  if (!checkEvent(Event, "KeSetEvent on an object that is not an initialised event")) return 0;
  __atomic_store_n(boosting(&Event->Header), Increment > 0 ? 1 : 0, __ATOMIC_RELAXED);
  if (Increment > 0 && realtime::enabled()) eventWaiters().boost(&Event->Header);
  const int wake = (Event->Header.Lock & 0xFF) == kTypeSynchronization ? 1 : INT_MAX;
  LONG* const state = word(&Event->Header);
  TSAN_RELEASE(Event);
  LONG old = __atomic_exchange_n(state, 1, __ATOMIC_SEQ_CST);
  // A waiter may return as soon as it sees the state and free the event (an IRP's event lives on its
  // waiter's stack), so nothing of the event is read from here on: the wake goes out unconditionally, and a
  // futex wake only names the address. Waiters re-check their condition, so a stray wake is harmless.
  futexWake(state, wake);
  return old;
}

extern "C" VOID KeClearEvent(PRKEVENT Event) {
  HOST_REQUIRE(tIrql <= DISPATCH_LEVEL, "KeClearEvent above DISPATCH_LEVEL");
  if (!checkEvent(Event, "KeClearEvent on an object that is not an initialised event")) return;
  __atomic_store_n(boosting(&Event->Header), 0, __ATOMIC_RELAXED);
  __atomic_store_n(&Event->Header.SignalState, 0, __ATOMIC_SEQ_CST);
}

extern "C" LONG KeResetEvent(PRKEVENT Event) {
  HOST_REQUIRE(tIrql <= DISPATCH_LEVEL, "KeResetEvent above DISPATCH_LEVEL");
  if (!checkEvent(Event, "KeResetEvent on an object that is not an initialised event")) return 0;
  __atomic_store_n(boosting(&Event->Header), 0, __ATOMIC_RELAXED);
  return __atomic_exchange_n(&Event->Header.SignalState, 0, __ATOMIC_SEQ_CST);
}

extern "C" LONG KeReadStateEvent(PRKEVENT Event) {
  if (!checkEvent(Event, "KeReadStateEvent on an object that is not an initialised event")) return 0;
  return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_ACQUIRE);
}

// ---- Mutexes
// ------------------------------------------------------------------------------------------------
extern "C" VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  (void)Level;
  Mutex->Header.Lock = header(kTypeMutant, kMutexSize);
  Mutex->Header.WaitListHead.Flink = nullptr;
  Mutex->Header.WaitListHead.Blink = nullptr;
  Mutex->MutantListEntry.Flink = Mutex->MutantListEntry.Blink = nullptr;
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
  __atomic_store_n(&Mutex->Header.SignalState, 1, __ATOMIC_RELEASE);
}

extern "C" LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  (void)Wait;
  if (Mutex->Header.Lock != header(kTypeMutant, kMutexSize)) {
    HOST_MISUSE("KeReleaseMutex on an object that is not an initialised mutex");
    return 0;
  }
  LONG* w = &Mutex->Header.SignalState;
  LONG prev = __atomic_load_n(w, __ATOMIC_RELAXED);
  if (__atomic_load_n(&Mutex->OwnerThread, __ATOMIC_RELAXED) != self() || prev > 0) {
    HOST_MISUSE("KeReleaseMutex by a thread that does not own the mutex");
    return prev;
  }
  if (prev < 0) {
    __atomic_fetch_add(w, 1, __ATOMIC_RELAXED);  // leave one recursion level
    return prev;
  }
  __atomic_store_n(&Mutex->OwnerThread, nullptr, __ATOMIC_RELAXED);
  TSAN_RELEASE(Mutex);
  __atomic_store_n(w, 1, __ATOMIC_SEQ_CST);
  wakeSleepers(&Mutex->Header, 1);
  return prev;
}

extern "C" LONG KeReadStateMutex(PRKMUTEX Mutex) {
  return __atomic_load_n(&Mutex->Header.SignalState, __ATOMIC_ACQUIRE);
}

// ---- Waits
// --------------------------------------------------------------------------------------------------
extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                          BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  if (!Object) {
    HOST_MISUSE("KeWaitForSingleObject on a null object");
    return STATUS_INVALID_PARAMETER;
  }
  if (tIrql > APC_LEVEL && !(Timeout && Timeout->QuadPart == 0))
    HOST_MISUSE("KeWaitForSingleObject with a non-zero timeout above APC_LEVEL");
  Deadline d = deadlineOf(Timeout);
  auto* h = static_cast<DISPATCHER_HEADER*>(Object);
  LONG lock = __atomic_load_n(&h->Lock, __ATOMIC_RELAXED);
  if (lock == header(kTypeMutant, kMutexSize)) return waitMutex(static_cast<PRKMUTEX>(Object), d);
  if (lock == header(kTypeNotification, kEventSize) || lock == header(kTypeSynchronization, kEventSize))
    return waitEvent(static_cast<PRKEVENT>(Object), d);
  HOST_MISUSE("KeWaitForSingleObject on an object that is not an initialised event or mutex");
  return STATUS_INVALID_PARAMETER;
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                           PLARGE_INTEGER Interval) {
  (void)WaitMode;
  (void)Alertable;
  HOST_REQUIRE(tIrql <= APC_LEVEL, "KeDelayExecutionThread above APC_LEVEL");
  if (!Interval) {
    HOST_MISUSE("KeDelayExecutionThread without an interval");
    return STATUS_INVALID_PARAMETER;
  }
  int64_t units = Interval->QuadPart < 0 ? -Interval->QuadPart : Interval->QuadPart - systemTimeNow();
  realtime::endBoost();
  if (units > 0) clock::sleepNs(units * 100);
  return STATUS_SUCCESS;
}

// ---- Time
// ---------------------------------------------------------------------------------------------------
extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = systemTimeNow(); }

extern "C" ULONGLONG KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(clock::nowNs() / 100); }

// A 10 MHz counter on the platform clock, the frequency current Windows reports on most machines.
extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10'000'000;
  LARGE_INTEGER now;
  now.QuadPart = clock::nowNs() / 100;
  return now;
}
