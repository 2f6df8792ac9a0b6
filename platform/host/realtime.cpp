#include "platform/host/realtime.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace host::realtime {
namespace {

constexpr unsigned char kDispatchLevel = 2;
constexpr int kWatchdogPriority = 40;
constexpr int kBoostPriority = 1;
constexpr long kTickNs = 50'000'000;
constexpr int64_t kHogNumerator = 4, kHogDenominator = 5;  // busy for this share of a tick: demoted

int priorityOf(Rank r) {
  switch (r) {
    case Rank::Dpc:
      return 10;
    case Rank::Interrupt:
      return 20;
    case Rank::Card:
      return 30;
    case Rank::Normal:
      break;
  }
  return 0;
}

int setPolicy(pthread_t t, int priority) {
  sched_param p{};
  p.sched_priority = priority;
  return pthread_setschedparam(t, priority ? SCHED_FIFO : SCHED_OTHER, &p);
}

enum State { kUndecided, kOn, kOff };
std::atomic<int> gState{kUndecided};
std::atomic<uint64_t> gDemotions{0};

thread_local Rank tBase = Rank::Normal;
thread_local Rank tApplied = Rank::Normal;

int64_t clockNs(clockid_t id) {
  timespec ts{};
  if (clock_gettime(id, &ts) != 0) return 0;
  return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int64_t monotonicNs() { return clockNs(CLOCK_MONOTONIC); }

// Whether the thread is asleep (waiting) rather than running or ready to run, from its /proc stat line.
bool asleep(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
  FILE* f = std::fopen(path, "r");
  if (!f) return false;
  char line[512];
  const bool read = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  const char* end = read ? std::strrchr(line, ')') : nullptr;  // the name may hold anything
  return end && end[1] == ' ' && (end[2] == 'S' || end[2] == 'D' || end[2] == 'I');
}

// Threads in a wake-up stint, by kernel thread id. Its lock is taken by DPC threads setting events: one that
// waits for it lends its rank to the holder.
class Boosts {
 public:
  void begin(pid_t tid) {
    std::lock_guard<Mutex> g(m_);
    Stint* stint = nullptr;
    for (Stint& s : stints_)
      if (s.tid == tid) stint = &s;
    // A thread may have set its own policy meanwhile: an ordinary one is boosted (again), one ranked on its
    // own is left alone.
    const bool ordinary = (sched_getscheduler(tid) & ~SCHED_RESET_ON_FORK) == SCHED_OTHER;
    if (!ordinary && !stint) return;
    sched_param p{};
    p.sched_priority = kBoostPriority;
    if (ordinary && sched_setscheduler(tid, SCHED_FIFO | SCHED_RESET_ON_FORK, &p) != 0) return;
    if (stint) {
      stint->woken = true;
      return;
    }
    stints_.push_back({tid, true});
    active_.fetch_add(1);
  }
  void end(pid_t tid) {
    std::lock_guard<Mutex> g(m_);
    for (auto it = stints_.begin(); it != stints_.end(); ++it)
      if (it->tid == tid) {
        endLocked(it);
        return;
      }
  }
  // Every tick: a stint without a boosted wake since the last tick ends.
  void tick() {
    if (active_.load() == 0) return;
    std::lock_guard<Mutex> g(m_);
    for (auto it = stints_.begin(); it != stints_.end();) {
      if (!it->woken) {
        it = endLocked(it);
      } else {
        it->woken = false;
        ++it;
      }
    }
  }
  bool any() const { return active_.load() != 0; }

 private:
  struct Stint {
    pid_t tid;
    bool woken;  // since the last tick
  };
  std::vector<Stint>::iterator endLocked(std::vector<Stint>::iterator it) {
    sched_param p{};
    sched_setscheduler(it->tid, SCHED_OTHER, &p);  // fails harmlessly for a thread that is gone
    active_.fetch_sub(1);
    return stints_.erase(it);
  }

  Mutex m_;
  std::vector<Stint> stints_;
  std::atomic<int> active_{0};
};

Boosts& stints() {
  static Boosts* b = new Boosts;
  return *b;
}

thread_local pid_t tTid = 0;

// Ends the calling thread's stint, if any (one atomic load when no thread is in one).
void endOwnStint() {
  if (!stints().any()) return;
  if (!tTid) tTid = gettid();
  stints().end(tTid);
}

// The ranked threads and the watchdog thread that samples their processor time every tick: one that was
// busy for most of a tick loses its rank, and gets it back at a tick that finds it waiting. It also ends
// wake-up stints.
class Watchdog {
 public:
  // Starts watching the calling thread at `rank`, or follows its change of rank.
  void watch(Rank rank) {
    const pthread_t self = pthread_self();
    std::lock_guard<std::mutex> g(m_);
    for (Watched& w : threads_)
      if (pthread_equal(w.thread, self)) {
        w.rank = rank;
        w.demoted = false;  // the thread just set its own priority
        return;
      }
    clockid_t id;
    if (pthread_getcpuclockid(self, &id) != 0) return;
    threads_.push_back({self, gettid(), id, rank, clockNs(id), false});
    startLocked();
  }
  void start() {
    if (started_.load()) return;
    std::lock_guard<std::mutex> g(m_);
    startLocked();
  }
  void unwatch() {
    const pthread_t self = pthread_self();
    std::lock_guard<std::mutex> g(m_);
    threads_.erase(std::remove_if(threads_.begin(), threads_.end(),
                                  [&](const Watched& w) { return pthread_equal(w.thread, self); }),
                   threads_.end());
  }

 private:
  struct Watched {
    pthread_t thread;
    pid_t tid;
    clockid_t clock;
    Rank rank;
    int64_t lastCpu;
    bool demoted;
  };

  void startLocked() {
    if (started_.load()) return;
    started_ = true;
    std::thread([this] { run(); }).detach();
  }

  void run() {
    setPolicy(pthread_self(), kWatchdogPriority);
    int64_t last = monotonicNs();
    for (;;) {
      const timespec tick{0, kTickNs};
      nanosleep(&tick, nullptr);
      const int64_t now = monotonicNs(), elapsed = now - last;
      last = now;
      stints().tick();
      std::lock_guard<std::mutex> g(m_);
      for (Watched& w : threads_) {
        const int64_t cpu = clockNs(w.clock), used = cpu - w.lastCpu;
        w.lastCpu = cpu;
        if (!w.demoted && used * kHogDenominator >= elapsed * kHogNumerator) {
          w.demoted = setPolicy(w.thread, 0) == 0;
          gDemotions.fetch_add(1);
        } else if (w.demoted && asleep(w.tid)) {
          w.demoted = setPolicy(w.thread, priorityOf(w.rank)) != 0;
        }
      }
    }
  }

  std::mutex m_;
  std::vector<Watched> threads_;
  std::atomic<bool> started_{false};
};

Watchdog& watchdog() {
  static Watchdog* w = new Watchdog;  // its thread lives as long as the process
  return *w;
}

// Applies `rank` to the calling thread, which the watchdog watches while it is ranked; the first real-time
// rank asked for decides whether ranks are real-time priorities at all.
void apply(Rank rank) {
  if (rank == tApplied) return;
  int state = gState.load();
  if (state == kOff) return;
  endOwnStint();
  if (state == kUndecided) {
    if (rank == Rank::Normal) return;
    const char* env = std::getenv("ZADIVO_REALTIME");
    if (env && std::strcmp(env, "0") == 0) {
      gState = kOff;
      return;
    }
  }
  const int err = setPolicy(pthread_self(), priorityOf(rank));
  if (err == 0) {
    gState.compare_exchange_strong(state, kOn);
    tApplied = rank;
    if (rank == Rank::Normal)
      watchdog().unwatch();
    else
      watchdog().watch(rank);
  } else if (state == kUndecided && gState.compare_exchange_strong(state, kOff)) {
    std::fprintf(stderr,
                 "host: real-time scheduling is not permitted (%s); interrupt and DPC threads run at normal "
                 "priority\n",
                 std::strerror(err));
  }
}

Rank rankOfIrql(unsigned char irql) {
  if (irql < kDispatchLevel) return Rank::Normal;
  return irql == kDispatchLevel ? Rank::Dpc : Rank::Interrupt;
}

}  // namespace

bool enabled() { return gState.load() == kOn; }

void enter(Rank rank) {
  tBase = rank;
  apply(rank);
}

void leave() {
  tBase = Rank::Normal;
  apply(Rank::Normal);
}

void atIrql(unsigned char irql) { apply(std::max(tBase, rankOfIrql(irql))); }

uint64_t demotions() { return gDemotions.load(); }

bool boostable() { return gState.load() == kOn && tApplied == Rank::Normal; }

pid_t self() {
  if (!tTid) tTid = gettid();
  return tTid;
}

void boost(pid_t tid) {
  watchdog().start();
  stints().begin(tid);
}

void endBoost() { endOwnStint(); }

Mutex::Mutex(Kind kind) {
  pthread_mutexattr_t a;
  pthread_mutexattr_init(&a);
  pthread_mutexattr_setprotocol(&a, PTHREAD_PRIO_INHERIT);
  pthread_mutexattr_settype(&a, kind == kRecursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_NORMAL);
  pthread_mutex_init(&m_, &a);
  pthread_mutexattr_destroy(&a);
}
Mutex::~Mutex() { pthread_mutex_destroy(&m_); }
void Mutex::lock() { pthread_mutex_lock(&m_); }
bool Mutex::try_lock() { return pthread_mutex_trylock(&m_) == 0; }
void Mutex::unlock() { pthread_mutex_unlock(&m_); }

}  // namespace host::realtime
