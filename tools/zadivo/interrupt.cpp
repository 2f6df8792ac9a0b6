#include "tools/zadivo/interrupt.h"

#include <atomic>
#include <csignal>

namespace zadivo::tool {

namespace {

// Read by every thread, written by the handler: lock-free, hence safe in a handler.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void onSignal(int sig) {
  int none = 0;
  g_signal.compare_exchange_strong(none, sig);
}

}  // namespace

void installInterruptHandlers() {
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  // Restarted system calls keep reads and writes whole; the handler gives way to the default after one go.
  sa.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool interrupted() { return g_signal != 0; }

int interruptSignal() { return g_signal; }

int interruptedExitCode() { return 128 + g_signal; }

}  // namespace zadivo::tool
