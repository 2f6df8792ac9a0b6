// Kernel-streaming declarations of the Windows build: mingw-w64's ks.h and ksmedia.h, with the repairs they
// need in kernel code. Declarations only.
#pragma once
#include "platform/win/kernel.h"

// ksmedia.h names TCHAR, which no kernel header defines; kernel code is Unicode.
#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef WCHAR TCHAR, *PTCHAR;
#endif

// ks.h declares IKsReferenceClock only once IUnknown is; punknown.h declares it with these two.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
// The order matters.
// clang-format off
#include <ddk/punknown.h>
#include <ks.h>
#include <ksmedia.h>
// clang-format on
