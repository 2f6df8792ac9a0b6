// What a kernel image does that a user-mode process cannot, emulated by trap: `mov` from and to CR8 (the
// IRQL; the DDK's KeGetCurrentIrql and friends are inline) and 32-bit loads and stores into the card's
// register windows (the DDK's register accessors are inline volatile accesses; the host maps the windows
// inaccessible). Exactly the forms a compiler emits for those are decoded:
//   mov %cr8,r64 (REX.R 0F 20 /r)          mov r64,%cr8 (REX.R 0F 22 /r)
//   mov m32,r32 (8B /r)   mov r32,m32 (89 /r)   mov imm32,m32 (C7 /0 id), each with any addressing form
// Anything else that faults in an image, and every ud2, divide error or guard page hit, stops the process
// with a report in the kernel's words: the bug check code, the image-relative address, the symbol, the
// instruction bytes.
//
// The signal handler only decodes (no allocation, no lock: the image table is a fixed array read with
// atomics) and points the thread at a trampoline; the emulation itself runs there as an ordinary call, on the
// host stack, and returns to the instruction after the one that trapped.
#pragma once
#include <cstdint>

namespace host::loader {
class Image;
}

namespace host::loader::trap {

// Registers an image's code range (installing the handlers at the first); the slot, or -1 when all are taken.
int addImage(const Image* image, uintptr_t codeLo, uintptr_t codeHi);
void removeImage(int slot);

struct Counts {
  uint64_t cr8Reads = 0, cr8Writes = 0, registerReads = 0, registerWrites = 0;
  uint64_t total() const { return cr8Reads + cr8Writes + registerReads + registerWrites; }
};
// Emulated instructions since the process started.
Counts counts();

}  // namespace host::loader::trap
