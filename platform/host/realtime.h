// Scheduling ranks of the emulation's threads, in the order Windows serves a processor's work: the card (its
// engines run beside the processors), then interrupts, then DPCs, then every ordinary thread. A thread that
// raises its IRQL to DISPATCH_LEVEL or above takes that level's rank until it lowers it again, so a DPC never
// spins on a spin lock whose holder an ordinary thread has pushed off the processor.
//
// Ranks are real-time priorities (SCHED_FIFO) when the process may use them and ZADIVO_REALTIME is not 0;
// otherwise one notice on stderr and ordinary scheduling. A watchdog keeps a ranked thread from holding a
// processor: one that keeps it busy for most of 50 ms runs at normal priority until it calms down.
#pragma once
#include <pthread.h>
#include <sys/types.h>

#include <cstdint>

namespace host::realtime {

enum class Rank { Normal = 0, Dpc = 1, Interrupt = 2, Card = 3 };

// Whether ranks are real-time priorities in this process (decided at the first ranked thread).
bool enabled();
// The calling thread takes `rank` as its base for good and is watched until it leaves.
void enter(Rank rank);
// The calling thread, about to end, gives up its rank.
void leave();
// The calling thread's IRQL changed (0..31): it runs at the higher of its base rank and the level's.
void atIrql(unsigned char irql);
// Times the watchdog took a thread's rank away.
uint64_t demotions();

// Windows' wake-up boost: a thread whose wait is satisfied by an event set with a priority increment runs
// above every ordinary thread (at the lowest real-time priority) for a stint, so that it gets a processor
// when woken instead of queueing behind busy threads, and keeps it while the emulation's interrupt and DPC
// threads come and go. Each such wake renews the stint; it ends at a watchdog tick that finds no wake since
// the last one, and when the thread sleeps by the clock or changes its rank. Threads started meanwhile do not
// inherit it.
//
// The calling thread's kernel thread id.
pid_t self();
// Whether the calling thread is one a boost applies to: ordinary, with ranks in use.
bool boostable();
// Boosts, or renews the stint of, a thread that was boostable when it began to wait (one that ranked itself
// since is left alone).
void boost(pid_t tid);
// The calling thread is about to sleep by the clock: its stint, if any, ends.
void endBoost();

// A mutex whose holder inherits the rank of a ranked thread waiting for it, so that an interrupt or DPC
// thread never waits behind an ordinary thread that other ordinary threads keep off the processor (on
// Windows such a lock is a spin lock, whose holder nothing below its level can preempt). For locks that
// ranked and ordinary threads share. Meets the standard Lockable requirements.
class Mutex {
 public:
  enum Kind { kPlain, kRecursive };
  explicit Mutex(Kind kind = kPlain);
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock();
  bool try_lock();
  void unlock();

 private:
  pthread_mutex_t m_;
};

}  // namespace host::realtime
