// Short helpers for the register sequences of the demodulator driver (core and per-standard files only).
#pragma once
#include "demod/sony_demod.h"
#include "zadivo/sony_cxd6802/demod_path.h"
#include "zadivo/trace.h"

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
inline bool sleepOrActive(const sony_demod_t* d) {
  return d->state == DEMOD_STATE_SLEEP || d->state == DEMOD_STATE_ACTIVE;
}
}  // namespace sony
