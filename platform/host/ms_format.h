// The kernel's printf dialect, as DbgPrint formats it on Windows x64. The arguments arrive in a Microsoft x64
// va_list (every argument an 8-byte slot); 'l' and 'w' are 32 bits (LLP64), 'I64', 'll', 'I' and 'z' are 64.
#pragma once
#include <string>

namespace host {

std::string formatMs(const char* format, __builtin_ms_va_list args);

}  // namespace host
