// The one platform clock. Delays of the driver and every timing of the card model (lock times, DMA pacing,
// flash busy times) run on it. Platform time advances at 1/scale of real time: with ZADIVO_TIME_SCALE=0.02 a
// 100 ms platform delay takes 2 ms. Wait timeouts are not scaled: they are safety nets.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace host::clock {

// Platform nanoseconds since the process started.
int64_t nowNs();
double scale();
// Changes the scale from now on; platform time stays continuous.
void setScale(double scale);
// Sleeps for the given platform time.
void sleepNs(int64_t platformNs);
// Real-time point at which the platform clock reaches the given platform time (under the current scale).
std::chrono::steady_clock::time_point realPointOf(int64_t platformNs);

// Waits on cv until pred() or the platform clock reaches deadlineNs. Returns pred().
template <class Pred>
bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadlineNs,
               Pred pred) {
  while (!pred()) {
    if (nowNs() >= deadlineNs) return false;
    cv.wait_until(lock, realPointOf(deadlineNs));
  }
  return true;
}

inline constexpr int64_t kMs = 1000000;
inline constexpr int64_t kUs = 1000;

}  // namespace host::clock
