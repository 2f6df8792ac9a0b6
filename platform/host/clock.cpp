#include "platform/host/clock.h"

#include <cstdlib>
#include <thread>

namespace host::clock {
namespace {
using steady = std::chrono::steady_clock;

struct State {
  std::mutex m;
  steady::time_point realBase = steady::now();
  int64_t platformBase = 0;  // platform time at realBase
  double scale = 1.0;
  State() {
    if (const char* s = std::getenv("ZADIVO_TIME_SCALE")) {
      char* end = nullptr;
      double v = std::strtod(s, &end);
      if (end != s && v > 0) scale = v;
    }
  }
};
State& state() {
  static State s;
  return s;
}
int64_t nowLocked(State& s) {
  auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(steady::now() - s.realBase).count();
  return s.platformBase + static_cast<int64_t>(static_cast<double>(real) / s.scale);
}
}  // namespace

int64_t nowNs() {
  State& s = state();
  std::lock_guard<std::mutex> g(s.m);
  return nowLocked(s);
}

double scale() {
  State& s = state();
  std::lock_guard<std::mutex> g(s.m);
  return s.scale;
}

void setScale(double v) {
  if (!(v > 0)) return;
  State& s = state();
  std::lock_guard<std::mutex> g(s.m);
  s.platformBase = nowLocked(s);
  s.realBase = steady::now();
  s.scale = v;
}

steady::time_point realPointOf(int64_t platformNs) {
  State& s = state();
  std::lock_guard<std::mutex> g(s.m);
  double realNs = static_cast<double>(platformNs - s.platformBase) * s.scale;
  return s.realBase + std::chrono::nanoseconds(static_cast<int64_t>(realNs));
}

void sleepNs(int64_t platformNs) {
  if (platformNs <= 0) return;
  std::this_thread::sleep_until(realPointOf(nowNs() + platformNs));
}

}  // namespace host::clock
