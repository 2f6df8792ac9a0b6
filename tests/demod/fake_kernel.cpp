// Minimal kernel for the driver code under test: virtual-time waits, recursive mutexes that really exclude
// threads, DbgPrint into a buffer, asserts recorded for the tests.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_bus.h"
#include "platform/host/ms_format.h"
#include "platform/platform.h"

extern "C" {
LONG ZadivoTraceLevel = 1;
LONG ZadivoBreakOnError = 0;
}

namespace {
std::atomic<uint64_t> g_virtual_ms{0};
std::mutex g_trace_mutex;
std::string g_trace;
std::vector<std::string> g_asserts;
std::mutex g_sync;
std::condition_variable g_sync_cv;
thread_local char t_thread_tag;
thread_local KIRQL t_irql = PASSIVE_LEVEL;

_KTHREAD* currentThread() { return reinterpret_cast<_KTHREAD*>(&t_thread_tag); }
}  // namespace

namespace fake {
uint64_t virtualMs() { return g_virtual_ms.load(); }
void resetVirtualMs() { g_virtual_ms = 0; }
std::string trace() {
  std::lock_guard<std::mutex> g(g_trace_mutex);
  return g_trace;
}
void clearTrace() {
  std::lock_guard<std::mutex> g(g_trace_mutex);
  g_trace.clear();
  g_asserts.clear();
}
std::vector<std::string> asserts() {
  std::lock_guard<std::mutex> g(g_trace_mutex);
  return g_asserts;
}
void setIrql(uint8_t irql) { t_irql = irql; }
}  // namespace fake

extern "C" {
ULONG DbgPrint(PCSTR format, ...) {
  __builtin_ms_va_list ap;
  __builtin_ms_va_start(ap, format);
  std::string s = host::formatMs(format, ap);
  __builtin_ms_va_end(ap);
  std::lock_guard<std::mutex> g(g_trace_mutex);
  g_trace += s;
  return static_cast<ULONG>(s.size());
}

VOID DbgBreakPoint(VOID) {}
BOOLEAN KdRefreshDebuggerNotPresent(VOID) { return TRUE; }

VOID RtlAssert(PVOID failedAssertion, PVOID fileName, ULONG lineNumber, PSTR message) {
  (void)lineNumber;
  (void)message;
  std::lock_guard<std::mutex> g(g_trace_mutex);
  g_asserts.push_back(std::string(static_cast<const char*>(failedAssertion)) + " @ " +
                      static_cast<const char*>(fileName));
}

PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T size, ULONG) { return std::malloc(size); }
VOID ExFreePool(PVOID p) { std::free(p); }

KIRQL KeGetCurrentIrql(VOID) { return t_irql; }

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
  LONGLONG units = interval ? -interval->QuadPart : 0;
  g_virtual_ms += static_cast<uint64_t>(units / 10000);
  std::this_thread::yield();
  return STATUS_SUCCESS;
}

VOID KeInitializeMutex(PRKMUTEX mutex, ULONG) {
  mutex->Header.SignalState = 1;
  mutex->OwnerThread = nullptr;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER) {
  PKMUTEX m = static_cast<PKMUTEX>(object);
  std::unique_lock<std::mutex> g(g_sync);
  g_sync_cv.wait(g, [m] { return m->Header.SignalState > 0 || m->OwnerThread == currentThread(); });
  m->OwnerThread = currentThread();
  --m->Header.SignalState;
  return STATUS_SUCCESS;
}

LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN) {
  std::lock_guard<std::mutex> g(g_sync);
  LONG previous = mutex->Header.SignalState;
  if (mutex->OwnerThread != currentThread()) {
    g_asserts.push_back("KeReleaseMutex by a thread that does not own the mutex");
    return previous;
  }
  if (++mutex->Header.SignalState > 0) mutex->OwnerThread = nullptr;
  g_sync_cv.notify_all();
  return previous;
}

LONG KeReadStateMutex(PRKMUTEX mutex) {
  std::lock_guard<std::mutex> g(g_sync);
  return mutex->Header.SignalState;
}
}
