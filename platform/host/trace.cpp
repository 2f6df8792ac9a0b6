// Debugger output and assertions: DbgPrint into a sink, DbgBreakPoint as a counter (a misuse unless a kernel
// debugger is attached: without one Windows bugchecks), RtlAssert that stops the process unless a test
// installed a handler.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/host/internal.h"
#include "platform/host/ms_format.h"

namespace host {
namespace {

enum class Sink { Stderr, File, Capture, Discard };

struct TraceState {
  std::mutex m;
  Sink sink = Sink::Stderr;
  FILE* file = nullptr;
  int fileError = 0;  // errno of the first write to the file that failed
  std::string captured;
  AssertHandler handler;
};
TraceState& state() {
  static TraceState* s = new TraceState;  // never destroyed: traces may come from threads during exit
  return *s;
}
std::atomic<uint64_t> gBreaks{0};
std::atomic<bool> gDebugger{false};
std::atomic<uint64_t> gAsserts{0};

void emit(const char* text, size_t len) {
  TraceState& s = state();
  std::lock_guard<std::mutex> g(s.m);
  switch (s.sink) {
    case Sink::Stderr:
      fwrite(text, 1, len, stderr);
      break;
    case Sink::File:
      if ((fwrite(text, 1, len, s.file) != len || fflush(s.file) != 0) && !s.fileError) s.fileError = errno;
      break;
    case Sink::Capture:
      s.captured.append(text, len);
      break;
    case Sink::Discard:
      break;
  }
}

void setSink(Sink sink, FILE* file) {
  TraceState& s = state();
  std::lock_guard<std::mutex> g(s.m);
  if (s.file && s.file != file && fclose(s.file) != 0 && !s.fileError) s.fileError = errno;
  s.file = file;
  s.sink = sink;
}

}  // namespace

void setAssertHandler(AssertHandler handler) {
  TraceState& s = state();
  std::lock_guard<std::mutex> g(s.m);
  s.handler = std::move(handler);
}
uint64_t assertCount() { return gAsserts.load(); }

namespace trace {
void toStderr() { setSink(Sink::Stderr, nullptr); }
bool toFile(const std::string& path) {
  FILE* f = fopen(path.c_str(), "w");
  if (!f) return false;
  setSink(Sink::File, f);
  std::lock_guard<std::mutex> g(state().m);
  state().fileError = 0;
  return true;
}
int writeError() {
  std::lock_guard<std::mutex> g(state().m);
  return state().fileError;
}
void capture() { setSink(Sink::Capture, nullptr); }
void discard() { setSink(Sink::Discard, nullptr); }
std::string text() {
  TraceState& s = state();
  std::lock_guard<std::mutex> g(s.m);
  return s.captured;
}
void clear() {
  TraceState& s = state();
  std::lock_guard<std::mutex> g(s.m);
  s.captured.clear();
}
uint64_t breakCount() { return gBreaks.load(); }
void attachDebugger(bool attached) { gDebugger.store(attached); }
}  // namespace trace

namespace detail {
void misuse(const char* what, const char* file, int line) {
  RtlAssert(const_cast<char*>(what), const_cast<char*>(file), static_cast<ULONG>(line), nullptr);
}
}  // namespace detail

}  // namespace host

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
  __builtin_ms_va_list ap;
  __builtin_ms_va_start(ap, Format);
  std::string s = host::formatMs(Format, ap);
  __builtin_ms_va_end(ap);
  host::emit(s.data(), s.size());
  return STATUS_SUCCESS;
}

extern "C" VOID DbgBreakPoint(VOID) {
  if (!host::gDebugger.load()) {
    HOST_MISUSE("DbgBreakPoint without a kernel debugger attached (a bugcheck on Windows)");
    return;
  }
  host::gBreaks.fetch_add(1);
  DbgPrint("*** DbgBreakPoint\n");
}

extern "C" BOOLEAN KdRefreshDebuggerNotPresent(VOID) { return host::gDebugger.load() ? FALSE : TRUE; }

extern "C" VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message) {
  host::gAsserts.fetch_add(1);
  char report[1024];
  snprintf(report, sizeof report, "*** Assertion failed: %s%s%s\n***   Source File: %s, line %u\n",
           Message ? Message : "", Message ? " " : "",
           FailedAssertion ? static_cast<const char*>(FailedAssertion) : "?",
           FileName ? static_cast<const char*>(FileName) : "?", LineNumber);
  DbgPrint("%s", report);
  host::AssertHandler handler;
  bool onStderr;
  {
    host::TraceState& s = host::state();
    std::lock_guard<std::mutex> g(s.m);
    handler = s.handler;
    onStderr = s.sink == host::Sink::Stderr;
  }
  if (handler) {
    handler(report);
    return;
  }
  if (!onStderr) fputs(report, stderr);
  abort();
}
