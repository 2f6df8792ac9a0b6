// One demodulator path (one tuner channel): the records of the demodulator and tuner drivers, the path lock,
// and the register primitives through which both drivers reach their chips over the path's I2C master.
#pragma once
#include "demod/sony_demod.h"
#include "demod/sony_demod_bus.h"
#include "platform/platform.h"

class Device;

struct DemodPath {
  explicit DemodPath(UCHAR index);

  Device* device;
  UCHAR pathIndex;  // 1..8
  sony_integ_t integ;
  KMUTEX lock;                 // held by the glue around each monitor call
  BOOLEAN repeaterWindowHeld;  // this path holds its master's repeater window (lock: path's callers)

  // Board I2C master base of this path, 0 for an index outside 1..8.
  ULONG masterBase() const;

  static void* operator new(size_t size) noexcept;
  static void* operator new(size_t size, void* where) noexcept { return (void)size, where; }
  static void operator delete(void* p) noexcept;
};

// Master base for a path index: paths 1,2 -> 0x4000 ... 7,8 -> 0x7000; 0 outside 1..8.
ULONG cxd6802_MasterBase(ULONG pathIndex);
// Demodulator main slave for a path index (by index modulo 4).
UCHAR cxd6802_SlaveAddress(ULONG pathIndex);

// The repeater window of master k is the Device's repeaterWindow(k); lock order: object lock, path lock,
// repeater window, I2C mutex. The register primitives, DemodWaitMs and the window calls of
// demod/sony_demod_bus.h are implemented on the Device's locked I2C operations.
PKMUTEX cxd6802_RepeaterWindowLock(DemodPath* path);
