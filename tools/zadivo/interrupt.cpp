#include "tools/zadivo/interrupt.h"

#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <ctime>

namespace zadivo::tool {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Read by every thread, written by the handler: lock-free, hence safe in a handler.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<bool> g_restart{false};

// Paths the handler may unlink: copied into fixed slots, since a handler may not allocate or follow a
// string another thread frees. Enough for every channel of eight cards.
constexpr int kSlots = 64;
enum : int { kFree, kFilling, kReady };
struct Slot {
  std::atomic<int> state{kFree};
  char path[PATH_MAX];
};
Slot g_slots[kSlots];

// A signal this soon after the first is the same one delivered twice (timeout(1) signals its command and then
// the command's process group), not the user asking again.
constexpr int64_t kSameSignalNs = 250'000'000;
std::atomic<int64_t> g_firstAt{0};
static_assert(std::atomic<int64_t>::is_always_lock_free);

int64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);  // async-signal-safe
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

void onSignal(int sig) {
  int none = 0;
  if (g_signal.compare_exchange_strong(none, sig)) {
    g_firstAt = monotonicNs();
    return;
  }
  if (monotonicNs() - g_firstAt < kSameSignalNs) return;
  for (Slot& s : g_slots)
    if (s.state.load() == kReady) unlink(s.path);
  signal(sig, SIG_DFL);
  raise(sig);  // delivered as the handler returns
}

void install() {
  for (int sig : kSignals) {
    // nohup's ignored hang-up stays ignored (a background job's ignored SIGINT is taken: kill -INT ends it).
    struct sigaction old {};
    sigaction(sig, nullptr, &old);
    if (sig == SIGHUP && old.sa_handler == SIG_IGN) continue;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    // Restarted system calls keep reads and writes of the working threads whole.
    sa.sa_flags = g_restart ? SA_RESTART : 0;
    sigaction(sig, &sa, nullptr);
  }
}

}  // namespace

void installInterruptHandlers() {
  install();
  signal(SIGPIPE, SIG_IGN);
}

void setBlockingCallsInterruptible(bool on) {
  g_restart = !on;
  install();
}

bool interrupted() { return g_signal != 0; }

int interruptedExitCode() { return 128 + g_signal; }

int registerTemporary(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int free = kFree;
    if (!g_slots[i].state.compare_exchange_strong(free, kFilling)) continue;
    memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
    g_slots[i].state = kReady;
    return i;
  }
  return -1;
}

void unregisterTemporary(int slot) {
  if (slot >= 0 && slot < kSlots) g_slots[slot].state = kFree;
}

}  // namespace zadivo::tool
