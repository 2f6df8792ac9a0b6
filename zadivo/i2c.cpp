// The four I2C masters: control-word operations, chunked transfers, the locked operations with their three
// attempts, and the demodulator reset lines. Every locked operation holds the I2C mutex for the whole
// transfer.
#include "hw/i2c_regs.h"
#include "trace/trace.h"
#include "zadivo/device.h"

namespace {
constexpr LONGLONG kI2cTimeout100ns = 200000;  // 20 ms
// Serial EEPROMs of this size specify their write cycle as 5 ms typical, 10 ms at most.
constexpr ULONGLONG kEepromWriteCycle100ns = 100000;  // 10 ms
constexpr LONGLONG kEepromPoll100ns = 5000;           // 0.5 ms

ULONG controlWord(UCHAR b0, UCHAR b1, UCHAR b2, UCHAR b3) {
  return ULONG(b0) | ULONG(b1) << 8 | ULONG(b2) << 16 | ULONG(b3) << 24;
}
}  // namespace

void Device::lockI2c() { KeWaitForSingleObject(i2cMutex(), Executive, KernelMode, FALSE, nullptr); }
void Device::unlockI2c() { KeReleaseMutex(i2cMutex(), FALSE); }

template <class Op>
bool Device::i2cAttempts(Op op, int attempts) {
  lockI2c();
  bool ok = false;
  for (int attempt = 0; attempt < attempts && !ok; ++attempt) ok = op();
  unlockI2c();
  return ok;
}

void Device::i2cSetMode(ULONG master, ULONG value) { writeRegister(master + hw::i2c::kMode, value & 0xFF); }

void Device::i2cBeginOp(ULONG master) {
  const int k = hw::i2c::masterIndex(master);
  if (k < 0) {
    ZTRACE("----------i2c0 address error : %x\n", static_cast<unsigned>(master));
    return;
  }
  ULONG word;
  readRegisterBuffer(master + hw::i2c::kControl, 1, &word);
  KeClearEvent(&_i2c_done[k]);
}

// Success when the operation completed, by its interrupt in time or, should that be late (a busy machine
// can hold the DPC back), by the master's own status read back afterwards, and the slave answered.
bool Device::i2cWaitOp(ULONG master) {
  const int k = hw::i2c::masterIndex(master);
  if (k < 0) {
    ZTRACE("----------i2c0 address error : %x\n", static_cast<unsigned>(master));
    return true;
  }
  LARGE_INTEGER timeout;
  timeout.QuadPart = -kI2cTimeout100ns;
  NTSTATUS status = KeWaitForSingleObject(&_i2c_done[k], Executive, KernelMode, FALSE, &timeout);
  ULONG word;
  readRegisterBuffer(master + hw::i2c::kControl, 1, &word);
  const bool completed = status == STATUS_SUCCESS || (word & hw::i2c::kStatusDone) != 0;
  return completed && (word & hw::i2c::kNak) == 0;
}

namespace {
// First operation of a read: slave byte in read form, sub-address flags in byte 0, sub-address in bytes 2
// and 3.
struct ReadAddressing {
  UCHAR b0, b1, b2, b3;
};
ReadAddressing readAddressing(UCHAR start, UCHAR slave, const UCHAR* subAddress, ULONG subAddressLength) {
  ReadAddressing a = {start, static_cast<UCHAR>((slave & 0xFE) + 1), 0, 0};
  if (subAddressLength == 1) {
    a.b0 += hw::i2c::kSub1;
    a.b2 = subAddress[0];
  } else if (subAddressLength == 2) {
    a.b0 += hw::i2c::kSub2;
    a.b2 = subAddress[0];
    a.b3 = subAddress[1];
  }
  return a;
}
}  // namespace

// One read operation of up to four bytes; false when it did not complete.
bool Device::i2cReadOp(ULONG master, ULONG control, PUCHAR out, ULONG count) {
  i2cBeginOp(master);
  writeRegister(master + hw::i2c::kControl, control);
  if (!i2cWaitOp(master)) return false;
  const ULONG data = readRegister(master + hw::i2c::kData);
  for (ULONG i = 0; i < count; ++i) out[i] = static_cast<UCHAR>(data >> (8 * i));
  return true;
}

bool Device::i2cReadShort(ULONG master, UCHAR slave, const UCHAR* subAddress, ULONG subAddressLength,
                          PUCHAR out, ULONG length) {
  const ReadAddressing a =
      readAddressing(hw::i2c::kStart | hw::i2c::kStop, slave, subAddress, subAddressLength);
  if (length == 0) {
    ZTRACE(" error! read register length is zero !\n");
    return false;
  }
  if (length > 4) {
    ZTRACE(" more than 4 byte read, hardware not support %d !\n", static_cast<int>(length));
    return false;
  }
  if (!i2cReadOp(master, controlWord(static_cast<UCHAR>(a.b0 + length), a.b1, a.b2, a.b3), out, length)) {
    ZTRACE(" read error!\n");
    return false;
  }
  return true;
}

bool Device::i2cRead(ULONG master, UCHAR slave, const UCHAR* subAddress, ULONG subAddressLength, PUCHAR out,
                     ULONG length) {
  ULONG first = length % 4, chunks = length / 4;
  if (first == 0) {
    first = 4;
    chunks -= 1;
  }
  if (subAddressLength > 2) {
    ZTRACE(" read sub address more than 16bit or less 8 bit !\n");
    return false;
  }
  const ReadAddressing a = readAddressing(hw::i2c::kStart, slave, subAddress, subAddressLength);
  if (length == 0) {
    ZTRACE(" error! read register length is zero !\n");
    return false;
  }
  const UCHAR b0 = static_cast<UCHAR>((length < 5 ? a.b0 | hw::i2c::kStop : a.b0) + first);
  ULONG pos = 0;
  ULONG count = first;
  UCHAR op = b0;
  for (ULONG c = 0; c <= chunks; ++c) {
    if (!i2cReadOp(master, controlWord(op, a.b1, a.b2, a.b3), out + pos, count)) {
      ZTRACE(" read error! subaddr : %x\n", subAddressLength ? subAddress[0] : 0);
      return false;
    }
    pos += count;
    count = 4;
    op = (pos == length - 4) ? (hw::i2c::kStop | 4) : 4;  // continuation: no start, stop on the last
  }
  return true;
}

bool Device::i2cWrite(ULONG master, UCHAR slave, ULONG length, const UCHAR* data) {
  if (length == 0) return false;
  ULONG first = length % 6, chunks = length / 6;
  if (first == 0) {
    first = 6;
    chunks -= 1;
  }
  const UCHAR b1 = static_cast<UCHAR>(slave & 0xFE);
  // Bytes of one operation: control bytes 2 and 3, then data-word bytes 0..3; unused ones are don't-care.
  auto issue = [&](UCHAR b0, const UCHAR* bytes, ULONG count) {
    UCHAR op[6] = {};
    for (ULONG i = 0; i < count; ++i) op[i] = bytes[i];
    i2cBeginOp(master);
    writeRegister(master + hw::i2c::kData, controlWord(op[2], op[3], op[4], op[5]));
    writeRegister(master + hw::i2c::kControl, controlWord(b0, b1, op[0], op[1]));
    return i2cWaitOp(master);
  };
  UCHAR b0 = static_cast<UCHAR>(hw::i2c::kStart + first + (length < 7 ? hw::i2c::kStop : 0));
  if (!issue(b0, data, first)) return false;
  ULONG pos = first;
  for (ULONG c = 0; c < chunks; ++c) {
    b0 = (pos == length - 6) ? (hw::i2c::kStop | 6) : 6;
    if (!issue(b0, data + pos, 6)) return false;
    pos += 6;
  }
  return true;
}

bool Device::i2cReadRegister(ULONG master, UCHAR slave, UCHAR subAddress, PUCHAR out, ULONG length) {
  return i2cAttempts([&] { return i2cReadShort(master, slave, &subAddress, 1, out, length); });
}

bool Device::i2cReadBurst(ULONG master, UCHAR slave, PUCHAR out, ULONG length) {
  if (length == 0 || length > 255) return false;
  return i2cAttempts([&] { return i2cRead(master, slave, nullptr, 0, out, length); });
}

bool Device::i2cReadSubAddressed(ULONG master, UCHAR slave, UCHAR subAddress, PUCHAR out, ULONG length) {
  if (length == 0 || length > 255) return false;
  return i2cAttempts([&] { return i2cRead(master, slave, &subAddress, 1, out, length); });
}

// The two transfers are retried together: a burst read retried alone would go on from wherever the failed
// attempt left the slave's register pointer and report those bytes as the block's.
bool Device::i2cReadBlock(ULONG master, UCHAR slave, UCHAR reg, PUCHAR out, ULONG length) {
  if (length == 0 || length > 255) return false;
  return i2cAttempts(
      [&] { return i2cWrite(master, slave, 1, &reg) && i2cRead(master, slave, nullptr, 0, out, length); });
}

// Reports the transfer's outcome; callers that stage a sub-address before a burst read may ignore it.
bool Device::i2cWriteBurst(ULONG master, UCHAR slave, const UCHAR* data, ULONG length) {
  if (length == 0 || length > 255) return false;
  return i2cAttempts([&] { return i2cWrite(master, slave, length, data); });
}

bool Device::i2cWriteRegister(ULONG master, UCHAR slave, UCHAR reg, const UCHAR* data, ULONG length,
                              bool once) {
  UCHAR staging[56];
  if (length > sizeof(staging) - 1) return false;
  staging[0] = reg;
  for (ULONG i = 0; i < length; ++i) staging[1 + i] = data[i];
  return i2cAttempts([&] { return i2cWrite(master, slave, length + 1, staging); }, once ? 1 : kAttempts);
}

// The bytes a serial EEPROM acknowledged before a refused one are programmed at the stop that ends the
// transfer, and the part ignores its address until that write cycle is over: an attempt sent at once would
// be refused too and leave the record half new. The master's status does not tell an address NAK from a
// data NAK, so every failed attempt is followed by acknowledge polling: the word address alone, written
// until the part takes it or the longest write cycle has passed.
void Device::i2cAwaitEeprom(ULONG master, UCHAR slave, UCHAR offset) {
  const ULONGLONG deadline = KeQueryInterruptTime() + kEepromWriteCycle100ns;
  LARGE_INTEGER pause;
  pause.QuadPart = -kEepromPoll100ns;
  while (!i2cWrite(master, slave, 1, &offset) && KeQueryInterruptTime() < deadline)
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
}

bool Device::i2cWriteEeprom(ULONG master, UCHAR slave, UCHAR offset, const UCHAR* data, ULONG length) {
  UCHAR staging[56];
  if (length > sizeof(staging) - 1) return false;
  staging[0] = offset;
  for (ULONG i = 0; i < length; ++i) staging[1 + i] = data[i];
  bool first = true;
  return i2cAttempts([&] {
    if (!first) i2cAwaitEeprom(master, slave, offset);
    first = false;
    return i2cWrite(master, slave, length + 1, staging);
  });
}

NTSTATUS Device::i2cReadInterface(ULONG master, UCHAR slave, const UCHAR* subAddress, ULONG subAddressLength,
                                  PUCHAR out, ULONG length) {
  if (i2cAttempts([&] { return i2cReadShort(master, slave, subAddress, subAddressLength, out, length); }))
    return STATUS_SUCCESS;
  ZTRACE(" readinterface error !\n");
  return STATUS_TIMEOUT;
}

ULONG Device::DVB_SET_DemodReset(ULONG offset) {
  ZTRACE("Device::DVB_SET_DemodReset \n");
  lockI2c();
  const ULONG reg = offset & 0xFF;
  const ULONG v = readRegister(reg);
  writeRegister(reg, v & ~1u);
  LARGE_INTEGER delay;
  delay.QuadPart = -50LL * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  writeRegister(reg, v | 1u);
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  unlockI2c();
  return 0;
}

// Completion of master k: the ISR queued us because its status bit was set. The waiter is boosted, as a
// driver completing a thread's I/O does, so that a busy machine does not keep it off the processor for a
// whole time slice per operation.
void Device::i2cDpc(PKDPC dpc, PVOID context, PVOID, PVOID) {
  Device* device = static_cast<Device*>(context);
  const ULONG k = static_cast<ULONG>(dpc - device->i2cDpcOf(0));
  ULONG word;
  device->readRegisterBuffer(hw::i2c::kMasterBase[k] + hw::i2c::kControl, 1, &word);
  KeSetEvent(&device->_i2c_done[k], EVENT_INCREMENT, FALSE);
}
