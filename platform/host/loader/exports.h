// The functions the host emulation exports to a loaded image, by the names Windows' kernel, ks.sys and
// BdaSup.sys export them: generated at build time from every NTAPI declaration of platform/kernel.h, ks.h and
// bda.h (gen_exports.py), plus the C runtime functions ntoskrnl exports, in the image's calling convention.
#pragma once
#include <cstddef>

namespace host::loader {

struct Export {
  const char* name;
  void* address;
};

// The generated table, and the C runtime's.
extern const Export kHostExports[];
extern const size_t kHostExportCount;
extern const Export kRuntimeExports[];
extern const size_t kRuntimeExportCount;

// The host function exported under a name, nullptr when none is.
void* findExport(const char* name);

}  // namespace host::loader
