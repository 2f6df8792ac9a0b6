// Driver tracing: every message goes to the debugger after a separate prefix print, gated by the driver-wide
// trace level (signed, 1 at load). Errors and entry/exit print at level >= 0, ordinary traces above 0,
// allocation traces above 2. The break flag (ZadivoBreakOnError, set from a kernel debugger) asks for a break
// after an error, taken only while a kernel debugger is attached: without one a breakpoint is a bugcheck.
// Below every driver folder, so the chip drivers (demod/, tuner/) and the glue (zadivo/) trace alike; the
// glue defines the two variables and ZTraceScope.
#pragma once
#include "platform/platform.h"

extern "C" {
extern LONG ZadivoTraceLevel;
extern LONG ZadivoBreakOnError;
}

#define ZD_PREFIX "durivoza: "
#define ZD_ERROR_PREFIX "durivoza (error): "

#define ZTRACE(...)             \
  do {                          \
    if (ZadivoTraceLevel > 0) { \
      DbgPrint(ZD_PREFIX);      \
      DbgPrint(__VA_ARGS__);    \
    }                           \
  } while (0)

#define ZTRACE_ALLOC(...)       \
  do {                          \
    if (ZadivoTraceLevel > 2) { \
      DbgPrint(ZD_PREFIX);      \
      DbgPrint(__VA_ARGS__);    \
    }                           \
  } while (0)

#define ZERROR(...)                                                              \
  do {                                                                           \
    if (ZadivoTraceLevel >= 0) {                                                 \
      DbgPrint(ZD_ERROR_PREFIX);                                                 \
      DbgPrint(__VA_ARGS__);                                                     \
      if (ZadivoBreakOnError && !KdRefreshDebuggerNotPresent()) DbgBreakPoint(); \
    }                                                                            \
  } while (0)

// Traces "Entering %s" now and "Exiting  %s" when the scope ends.
class ZTraceScope {
 public:
  explicit ZTraceScope(const char* name);
  ~ZTraceScope();
  ZTraceScope(const ZTraceScope&) = delete;
  ZTraceScope& operator=(const ZTraceScope&) = delete;

 private:
  char _name[256];
};

#define ZD_CONCAT2(a, b) a##b
#define ZD_CONCAT(a, b) ZD_CONCAT2(a, b)
#define ZTRACE_SCOPE(name) ZTraceScope ZD_CONCAT(_zd_scope_, __LINE__)(name)
