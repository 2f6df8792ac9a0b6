// Kernel stacks for a loaded driver image: a Windows x64 kernel thread has 24 KiB of stack, and a driver that
// needs more overruns it on a customer's machine, not in a user-mode process with 8 MiB. Once enabled (the
// image loader does), every call of the host into driver code runs on the calling thread's own 24 KiB stack
// with an inaccessible guard page below it, and every call of the image back into the host (its imports, the
// register traps) returns to the thread's own stack, so the kernel stack holds the driver's frames only.
// Calls made while kernel stacks are off (the driver linked into the process) are plain calls.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace host::kstack {

inline constexpr size_t kStackBytes = 24 * 1024;

// Kernel stacks are on while any token lives: a loaded image holds one.
class Token {
 public:
  Token();
  ~Token();
  Token(const Token&) = delete;
  Token& operator=(const Token&) = delete;
};
bool enabled();

// Runs body(arg) on this thread's kernel stack: at its top, or below the driver frames already on it when
// the driver called into the host which now calls the driver again.
void run(void (*body)(void*), void* arg);

// The guard page of this thread's kernel stack, {0, 0} when the thread has none. Safe in a signal handler.
struct Range {
  uintptr_t lo = 0, hi = 0;
  bool contains(uintptr_t a) const { return a >= lo && a < hi; }
};
Range guardOfThisThread();
// This thread's kernel stack (without the guard page), {0, 0} when it has none. Safe in a signal handler.
Range stackOfThisThread();

// Calls a driver function (any callback the driver handed the host) on the kernel stack when they are on.
template <class F, class... A>
decltype(auto) call(F fn, A&&... args) {
  using R = decltype(fn(std::forward<A>(args)...));
  if (!enabled()) return fn(std::forward<A>(args)...);
  if constexpr (std::is_void_v<R>) {
    auto body = [&] { fn(std::forward<A>(args)...); };
    run([](void* b) { (*static_cast<decltype(body)*>(b))(); }, &body);
  } else {
    R result{};
    auto body = [&] { result = fn(std::forward<A>(args)...); };
    run([](void* b) { (*static_cast<decltype(body)*>(b))(); }, &body);
    return result;
  }
}

}  // namespace host::kstack

// Entered by a call from driver code with r11 holding a host function: runs it on the thread's own stack with
// the caller's register and stack arguments (up to 16 on the stack, Microsoft x64 convention), then returns
// to the driver on its kernel stack. A caller that is not on a kernel stack jumps straight to the function.
extern "C" void zadivo_kstack_leave();
