// The kernel's printf dialect, as DbgPrint formats it on Windows x64. The arguments arrive in a Microsoft x64
// va_list (every argument an 8-byte slot); 'l' and 'w' are 32 bits (LLP64), 'I64', 'll', 'I' and 'z' are 64.
// Strings and characters are wide (16-bit WCHAR) with 'l' or 'w', or as %S and %C; %wZ is a UNICODE_STRING
// and %Z an ANSI_STRING. Wide text comes out in UTF-8, the host's multibyte encoding, as the kernel converts
// it to its code page.
#pragma once
#include <string>

namespace host {

std::string formatMs(const char* format, __builtin_ms_va_list args);

}  // namespace host
