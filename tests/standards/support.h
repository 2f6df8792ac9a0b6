// Helpers of the standards tests: captured driver traces, assertions turned into test failures, waits.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/host/host.h"
#include "trace/trace.h"
#include "zadivo/tuner_demod_objects.h"

namespace standards_test {

// Captures the driver's traces at a chosen level and fails the test on any assertion.
class TraceScope {
 public:
  explicit TraceScope(LONG level = 1) : saved_(ZadivoTraceLevel) {
    ZadivoTraceLevel = level;
    host::trace::capture();
    host::trace::clear();
    host::setAssertHandler([](const char* report) { ADD_FAILURE() << report; });
  }
  ~TraceScope() {
    ZadivoTraceLevel = saved_;
    host::setAssertHandler({});
    host::trace::clear();
  }
  static std::string text() { return host::trace::text(); }
  static void clear() { host::trace::clear(); }
  static bool has(const std::string& s) { return text().find(s) != std::string::npos; }
  static size_t count(const std::string& s) {
    const std::string t = text();
    size_t n = 0;
    for (size_t at = t.find(s); at != std::string::npos; at = t.find(s, at + 1)) ++n;
    return n;
  }

 private:
  LONG saved_;
};

// Polls cond until it holds or the bound (real time, generous) passes.
inline bool waitFor(const std::function<bool()>& cond,
                    std::chrono::seconds bound = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + bound;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline CTunerDemodChannel* channel(CTunerDemodType* t) { return static_cast<CTunerDemodChannel*>(t); }

}  // namespace standards_test
