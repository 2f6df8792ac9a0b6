// Register access layer of a demodulator path: byte registers of the path's chips over the Device's locked
// I2C operations, the driver's wait, and the per-master repeater windows.
#include "zadivo/sony_cxd6802/demod_path.h"

#include "hw/i2c_regs.h"
#include "trace/trace.h"
#include "zadivo/device.h"

namespace {
int masterIndexOf(ULONG pathIndex) {
  if (pathIndex < 1 || pathIndex > 8) return -1;
  return static_cast<int>((pathIndex - 1) / 2);
}
}  // namespace

DemodPath::DemodPath(UCHAR index) : device(nullptr), pathIndex(index), repeaterWindowHeld(FALSE) {
  RtlZeroMemory(&integ, sizeof(integ));
  integ.p_demod = &integ.demod;
  integ.p_tuner = &integ.tuner;
  integ.demod.p_path = this;
  integ.tuner.p_path = this;
  KeInitializeMutex(&lock, 0);
}

ULONG DemodPath::masterBase() const { return cxd6802_MasterBase(pathIndex); }

void* DemodPath::operator new(size_t size) noexcept {
  void* p = ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagDevice);
  ZTRACE_ALLOC("new(%x) returned %p\n", static_cast<unsigned>(size), p);
  return p;
}

void DemodPath::operator delete(void* p) noexcept {
  ZTRACE_ALLOC("delete(%p)\n", p);
  if (p) ExFreePool(p);
}

ULONG cxd6802_MasterBase(ULONG pathIndex) {
  int k = masterIndexOf(pathIndex);
  return k < 0 ? 0 : hw::i2c::kMasterBase[k];
}

UCHAR cxd6802_SlaveAddress(ULONG pathIndex) {
  static constexpr UCHAR kByIndexMod4[4] = {0xDA, 0xC8, 0xD8, 0xCA};
  return kByIndexMod4[pathIndex & 3];
}

namespace {
// A path without a device or with an index outside 1..8 has no bus: every access fails like a dead bus.
bool busOf(DemodPath* path, Device** device, ULONG* master) {
  if (!path || !path->device) return false;
  *master = path->masterBase();
  *device = path->device;
  return *master != 0;
}
}  // namespace

DemodResult ReadRegister(DemodPath* path, UCHAR slave, UCHAR reg, UCHAR* buffer, ULONG length) {
  Device* device = nullptr;
  ULONG master = 0;
  bool ok = false;
  if (buffer && length >= 1 && length <= 255 && busOf(path, &device, &master)) {
    if (length <= 4) {
      ok = device->i2cReadRegister(master, slave, reg, buffer, length);
    } else {
      // The register number as a transfer of its own, then the burst: a failure of either fails the attempt,
      // as the bytes would not be the block's.
      ok = device->i2cReadBlock(master, slave, reg, buffer, length);
    }
  }
  if (!ok) {
    ZTRACE("0x%x read register: 0x%x size %d error!!", slave, reg, static_cast<int>(length));
    return DEMOD_ERR_BUS;
  }
  return DEMOD_OK;
}

namespace {
DemodResult writeRegister(DemodPath* path, UCHAR slave, UCHAR reg, const UCHAR* data, ULONG length,
                          bool once) {
  Device* device = nullptr;
  ULONG master = 0;
  bool ok = false;
  if ((data || length == 0) && length <= 55 && busOf(path, &device, &master))
    ok = device->i2cWriteRegister(master, slave, reg, data, length, once);
  if (!ok) {
    ZTRACE("write register error!!");
    return DEMOD_ERR_BUS;
  }
  return DEMOD_OK;
}
}  // namespace

DemodResult WriteRegister(DemodPath* path, UCHAR slave, UCHAR reg, const UCHAR* data, ULONG length) {
  return writeRegister(path, slave, reg, data, length, false);
}

DemodResult WriteRegisterOnce(DemodPath* path, UCHAR slave, UCHAR reg, const UCHAR* data, ULONG length) {
  return writeRegister(path, slave, reg, data, length, true);
}

DemodResult WriteOneRegister(DemodPath* path, UCHAR slave, UCHAR reg, UCHAR value) {
  Device* device = nullptr;
  ULONG master = 0;
  bool ok = busOf(path, &device, &master) && device->i2cWriteRegister(master, slave, reg, &value, 1);
  if (!ok) {
    ZTRACE("WriteOneRegister  error!!");
    return DEMOD_ERR_BUS;
  }
  return DEMOD_OK;
}

DemodResult SetRegisterBits(DemodPath* path, UCHAR slave, UCHAR reg, UCHAR value, UCHAR mask) {
  if (mask == 0) return DEMOD_OK;
  if (mask != 0xFF) {
    UCHAR old = 0;
    DemodResult r = ReadRegister(path, slave, reg, &old, 1);
    if (r != DEMOD_OK) return r;
    value = static_cast<UCHAR>((value & mask) | (old & ~mask));
  }
  return WriteOneRegister(path, slave, reg, value);
}

void DemodWaitMs(ULONG n) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(n) * 20000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

PKMUTEX cxd6802_RepeaterWindowLock(DemodPath* path) {
  if (!path || !path->device) return nullptr;
  int k = masterIndexOf(path->pathIndex);
  return k < 0 ? nullptr : path->device->repeaterWindow(static_cast<ULONG>(k));
}

void DemodAcquireRepeaterWindow(DemodPath* path) {
  PKMUTEX window = cxd6802_RepeaterWindowLock(path);
  if (!window || path->repeaterWindowHeld) return;
  KeWaitForSingleObject(window, Executive, KernelMode, FALSE, nullptr);
  path->repeaterWindowHeld = TRUE;
}

void DemodReleaseRepeaterWindow(DemodPath* path) {
  PKMUTEX window = cxd6802_RepeaterWindowLock(path);
  if (!window || !path->repeaterWindowHeld) return;
  path->repeaterWindowHeld = FALSE;
  KeReleaseMutex(window, FALSE);
}
