// Kernel, HAL and I/O manager declarations of the Windows build: mingw-w64's DDK headers, with the repairs
// they need to compile as C++ kernel code. Declarations only; nothing here is implemented.
#pragma once

// wdm.h defines these two itself; without the guards intrin.h defines them a second time.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// The driver uses no SSE (it is built with general registers only), and intrin.h's __faststorefence is an SSE
// fence that will not compile then.
#define __INTRINSIC_DEFINED___faststorefence
#include <ddk/ntddk.h>
// FLOAT, BYTE, WORD and DWORD, which ksmedia.h uses and no kernel header defines.
#include <windef.h>

// wdm.h declares KeMemoryBarrier for x86 only.
#ifndef KeMemoryBarrier
#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#endif

// The format attribute lets the compiler check every trace against its arguments.
extern "C" ULONG __cdecl DbgPrint(PCSTR Format, ...) __attribute__((format(printf, 1, 2)));
