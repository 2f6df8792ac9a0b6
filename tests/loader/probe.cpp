// A minimal driver image for the loader's tests, built with the Windows cross compiler: a relocated global,
// an import called with arguments on the stack, and one function per instruction form the trap layer
// decodes (rcx = register window, rdx = index, r8 = value), plus forms it must refuse.
extern "C" {
__declspec(dllimport) unsigned long DbgPrint(const char* format, ...);

unsigned probeGlobal = 7;
unsigned* probeGlobalAddress = &probeGlobal;  // a DIR64 relocation

long DriverEntry(void*, void*) { return 0; }

unsigned long probePrint() {
  return DbgPrint("probe %d %d %d %d %d %d %d %d %d %s\n", 1, 2, 3, 4, 5, 6, 7, 8, 9, "ten");
}

// Each level keeps a kilobyte on the stack.
int probeRecurse(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  return depth > 0 ? probeRecurse(depth - 1) + frame[0] : 0;
}
}

// clang-format off
asm(R"(
        .text
        .globl  probeCr8Read
probeCr8Read:
        movq    %cr8, %rax
        ret
        .globl  probeCr8Write
probeCr8Write:
        movq    %rcx, %cr8
        ret
        .globl  probeLoad
probeLoad:
        movl    (%rcx), %eax
        ret
        .globl  probeLoadDisp8
probeLoadDisp8:
        movl    0x10(%rcx), %eax
        ret
        .globl  probeLoadDisp32
probeLoadDisp32:
        movl    0x100(%rcx), %eax
        ret
        .globl  probeLoadIndexed
probeLoadIndexed:
        movl    (%rcx,%rdx,4), %eax
        ret
        .globl  probeLoadRex
probeLoadRex:
        movq    $-1, %r10
        movq    %rcx, %r9
        movl    8(%r9), %r10d
        movq    %r10, %rax
        ret
        .globl  probeLoadKeepsFlags
probeLoadKeepsFlags:
        cmpq    %rcx, %rcx
        movl    (%rcx), %eax
        je      1f
        xorl    %eax, %eax
1:      ret
        .globl  probeStore
probeStore:
        movl    %r8d, (%rcx)
        ret
        .globl  probeStoreIndexed
probeStoreIndexed:
        movl    %r8d, 0x40(%rcx,%rdx,4)
        ret
        .globl  probeStoreImm
probeStoreImm:
        movl    $0x12345678, (%rcx)
        ret
        .globl  probeStoreImmRex
probeStoreImmRex:
        movq    %rcx, %r9
        movl    $0x0badf00d, 0x20(%r9)
        ret
        .globl  probeStore16
probeStore16:
        movw    %r8w, (%rcx)
        ret
        .globl  probeUd2
probeUd2:
        ud2
        ret
)");
// clang-format on
