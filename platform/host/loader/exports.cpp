#include "platform/host/loader/exports.h"

#include <cstring>

namespace host::loader {
namespace {

// ntoskrnl exports these four with the Microsoft calling convention; glibc's take the System V one.
__attribute__((ms_abi)) void* msMemcpy(void* d, const void* s, size_t n) { return memcpy(d, s, n); }
__attribute__((ms_abi)) void* msMemmove(void* d, const void* s, size_t n) { return memmove(d, s, n); }
__attribute__((ms_abi)) void* msMemset(void* d, int c, size_t n) { return memset(d, c, n); }
__attribute__((ms_abi)) int msMemcmp(const void* a, const void* b, size_t n) { return memcmp(a, b, n); }

}  // namespace

const Export kRuntimeExports[] = {{"memcpy", reinterpret_cast<void*>(&msMemcpy)},
                                  {"memmove", reinterpret_cast<void*>(&msMemmove)},
                                  {"memset", reinterpret_cast<void*>(&msMemset)},
                                  {"memcmp", reinterpret_cast<void*>(&msMemcmp)}};
const size_t kRuntimeExportCount = sizeof kRuntimeExports / sizeof kRuntimeExports[0];

void* findExport(const char* name) {
  for (size_t i = 0; i < kRuntimeExportCount; ++i)
    if (strcmp(kRuntimeExports[i].name, name) == 0) return kRuntimeExports[i].address;
  for (size_t i = 0; i < kHostExportCount; ++i)
    if (strcmp(kHostExports[i].name, name) == 0) return kHostExports[i].address;
  return nullptr;
}

}  // namespace host::loader
