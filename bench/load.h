// The load the benchmarks measure under: eight threads at normal priority spinning on both processors, the
// way a busy machine's other work competes for them. Quiet and loaded phases alternate inside one benchmark
// so that the machine's own background drifts into both alike.
#pragma once
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <thread>
#include <vector>

namespace bench {

inline constexpr int kLoadThreads = 8;

class SpinLoad {
 public:
  explicit SpinLoad(bool on) {
    if (!on) return;
    for (int i = 0; i < kLoadThreads; ++i)
      threads_.emplace_back([this] {
        unsigned long x = 0;
        while (!stop_.load(std::memory_order_relaxed)) x = x * 6364136223846793005UL + 1;
        sink_.fetch_add(x, std::memory_order_relaxed);
      });
  }
  ~SpinLoad() {
    stop_ = true;
    for (auto& t : threads_) t.join();
  }
  // CPU the spinning threads have used so far (to take out of a process-wide figure).
  double cpuSeconds() {
    double sum = 0;
    for (auto& t : threads_) {
      clockid_t id;
      timespec ts{};
      if (pthread_getcpuclockid(t.native_handle(), &id) == 0 && clock_gettime(id, &ts) == 0)
        sum += double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
    }
    return sum;
  }
  SpinLoad(const SpinLoad&) = delete;
  SpinLoad& operator=(const SpinLoad&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::atomic<unsigned long> sink_{0};
  std::vector<std::thread> threads_;
};

// While alive, the calling thread runs at the lowest real-time priority: below the emulation's interrupt and
// DPC threads, above every ordinary thread. What is left of a wait then is the emulation's own path. Threads
// started meanwhile would inherit the priority: start none.
class RealtimeCaller {
 public:
  RealtimeCaller() {
    sched_param p{};
    p.sched_priority = 1;
    ok_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
  }
  ~RealtimeCaller() {
    sched_param p{};
    if (ok_) pthread_setschedparam(pthread_self(), SCHED_OTHER, &p);
  }
  RealtimeCaller(const RealtimeCaller&) = delete;
  RealtimeCaller& operator=(const RealtimeCaller&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

}  // namespace bench
