// Short helpers for the register sequences of the demodulator driver (core and per-standard files only).
#pragma once
#include "demod/sony_demod.h"
#include "demod/sony_demod_bus.h"
#include "trace/trace.h"

#define SONY_CHECK(expr)                     \
  do {                                       \
    DemodResult sony_r_ = (expr);            \
    if (sony_r_ != DEMOD_OK) return sony_r_; \
  } while (0)

namespace sony {
inline DemodResult bank(sony_demod_t* d, UCHAR slave, UCHAR b) {
  return WriteOneRegister(d->p_path, slave, 0x00, b);
}
inline DemodResult wr(sony_demod_t* d, UCHAR slave, UCHAR reg, UCHAR v) {
  return WriteOneRegister(d->p_path, slave, reg, v);
}
inline DemodResult wrn(sony_demod_t* d, UCHAR slave, UCHAR reg, const UCHAR* data, ULONG n) {
  return WriteRegister(d->p_path, slave, reg, data, n);
}
inline DemodResult bits(sony_demod_t* d, UCHAR slave, UCHAR reg, UCHAR v, UCHAR mask) {
  return SetRegisterBits(d->p_path, slave, reg, v, mask);
}
inline DemodResult rd(sony_demod_t* d, UCHAR slave, UCHAR reg, UCHAR* out, ULONG n) {
  return ReadRegister(d->p_path, slave, reg, out, n);
}
// A register that waking writes and sleep puts back: its bank, register and byte count, then the bytes waking
// writes and those sleep writes.
struct RegPair {
  UCHAR bank, reg, n;
  UCHAR wake[4], sleep[4];
};

// Writes the wake or the sleep column of a run of such registers, selecting a row's bank only when it differs
// from the row before (the first row's always).
template <ULONG N>
DemodResult writeColumn(sony_demod_t* d, UCHAR slave, const RegPair (&rows)[N], bool wake) {
  for (ULONG i = 0; i < N; ++i) {
    const RegPair& r = rows[i];
    if (i == 0 || r.bank != rows[i - 1].bank) SONY_CHECK(bank(d, slave, r.bank));
    const UCHAR* v = wake ? r.wake : r.sleep;
    SONY_CHECK(r.n == 1 ? wr(d, slave, r.reg, v[0]) : wrn(d, slave, r.reg, v, r.n));
  }
  return DEMOD_OK;
}

// The row of a band table (rows with a `bandwidth`) for a bandwidth; null when the table has none.
template <class Row, ULONG N>
const Row* rowFor(const Row (&rows)[N], ULONG bandwidth) {
  for (const Row& r : rows)
    if (r.bandwidth == bandwidth) return &r;
  return nullptr;
}

// The cable cores' (DVB-C, J.83B, ISDB-C) lock flags: demodulator lock and unlock in bank 0x40 register
// 0x88, TS lock in register 0x10. The caller has checked its arguments and state.
inline DemodResult cableSyncStat(sony_demod_t* d, UCHAR* demodLock, UCHAR* tsLock, UCHAR* unlockDetected) {
  UCHAR r88 = 0, r10 = 0;
  SONY_CHECK(bank(d, d->slaveMain, 0x40));
  SONY_CHECK(rd(d, d->slaveMain, 0x88, &r88, 1));
  SONY_CHECK(rd(d, d->slaveMain, 0x10, &r10, 1));
  *demodLock = r88 & 1;
  *unlockDetected = (r88 >> 1) & 1;
  *tsLock = (r10 >> 5) & 1;
  return DEMOD_OK;
}

inline bool sleepOrActive(const sony_demod_t* d) {
  return d->state == DEMOD_STATE_SLEEP || d->state == DEMOD_STATE_ACTIVE;
}

// Runs the reads of a monitor between freeze and unfreeze; unfreezes on every path once frozen.
template <typename Reads>
DemodResult frozen(sony_demod_t* demod, Reads reads) {
  SONY_CHECK(FreezeRegisters(demod));
  DemodResult r = reads();
  DemodResult u = UnfreezeRegisters(demod);
  return r != DEMOD_OK ? r : u;
}

// The QAM cores' SNR reads under one freeze: the constellation (bank 0x40 register 0x19, low three bits) and
// the 13-bit SNR word (0x4C..0x4D).
inline DemodResult qamSnrWord(sony_demod_t* d, UCHAR* constellation, ULONG* word) {
  const UCHAR m = d->slaveMain;
  UCHAR r19 = 0;
  UCHAR data[2] = {0, 0};
  const DemodResult r = frozen(d, [&]() -> DemodResult {
    SONY_CHECK(bank(d, m, 0x40));
    SONY_CHECK(rd(d, m, 0x19, &r19, 1));
    return rd(d, m, 0x4C, data, 2);
  });
  *constellation = r19 & 0x07;
  *word = (static_cast<ULONG>(data[0] & 0x1F) << 8) | data[1];
  return r;
}

// SNR in 0.001 dB of a core that carries only 64- and 256-QAM (codes 2 and 4).
inline DemodResult qamSnr64or256(UCHAR constellation, ULONG word, LONG* snr) {
  if (word == 0) return DEMOD_ERR_HARDWARE;
  if (constellation != 2 && constellation != 4) return DEMOD_ERR_HARDWARE;
  if (word < 126) word = 126;
  *snr = 95941 - 95 * static_cast<LONG>(Lnx100(word));
  return DEMOD_OK;
}

// The state handling every standard's tune shares: already active in this system, only reTune runs;
// otherwise whatever system is active goes to sleep first and wake brings this one up from sleep. A wake-up
// that fails part way leaves the chip neither asleep nor active (it may have taken the selector and left
// sleep), so the record says so and the next tune starts from a reset, not from a sleep the chip is not in.
template <typename ReTune, typename Wake>
DemodResult tuneSystem(sony_demod_t* demod, DemodSystem system, ULONG bandwidth, ReTune reTune, Wake wake) {
  if (demod->state == DEMOD_STATE_ACTIVE && demod->system == system) {
    demod->bandwidth = bandwidth;
    return reTune();
  }
  if (demod->state == DEMOD_STATE_ACTIVE) SONY_CHECK(sony_demod_Sleep(demod));
  if (demod->state != DEMOD_STATE_SLEEP) return DEMOD_ERR_STATE;
  demod->system = system;
  demod->bandwidth = bandwidth;
  const DemodResult r = wake();
  if (r != DEMOD_OK) {
    demod->state = DEMOD_STATE_INVALID;
    return r;
  }
  demod->state = DEMOD_STATE_ACTIVE;
  return DEMOD_OK;
}

// Polls check(&locked) up to attempts times, waitMs apart. On lock traces lockedTrace (when given) and
// succeeds; out of attempts traces unlockedTrace (when given) and returns notLocked.
template <typename Check>
DemodResult waitLock(sony_integ_t* integ, ULONG attempts, ULONG waitMs, Check check, const char* lockedTrace,
                     const char* unlockedTrace, DemodResult notLocked) {
  if (!integ || !integ->p_demod) return DEMOD_ERR_ARGUMENT;
  if (integ->p_demod->state != DEMOD_STATE_ACTIVE) return DEMOD_ERR_STATE;
  for (ULONG attempt = 0; attempt < attempts; ++attempt) {
    bool locked = false;
    SONY_CHECK(check(integ->p_demod, &locked));
    if (locked) {
      if (lockedTrace) ZTRACE("%s", lockedTrace);
      return DEMOD_OK;
    }
    DemodWaitMs(waitMs);
  }
  if (unlockedTrace) ZTRACE("%s", unlockedTrace);
  return notLocked;
}
}  // namespace sony
