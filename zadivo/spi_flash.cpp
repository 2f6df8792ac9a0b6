// SPI flash commands over the controller's control, transmit and receive words. The control word's upper half
// repeats bytes 2 and 3 of the transmit word just written, as the controller stages both in one word.
#include "zadivo/spi_flash.h"

#include "hw/spi_regs.h"
#include "zadivo/device.h"
#include "zadivo/trace.h"

namespace {
constexpr ULONG kSend1 = 0x10E0;          // send 1 byte, whole transaction
constexpr ULONG kSend1Recv1 = 0x11F0;     // send 1, receive 1
constexpr ULONG kSend1Recv3 = 0x13F0;     // send 1, receive 3
constexpr ULONG kSend4Recv4 = 0x44F0;     // send 4, receive 4
constexpr ULONG kSend8First = 0x80A0;     // send 8, transaction starts
constexpr ULONG kSend8Continue = 0x8020;  // send 8, transaction goes on
constexpr ULONG kSend4Last = 0x4060;      // send 4, transaction ends
constexpr ULONG kProgramStatusPolls = 250;

ULONG word(UCHAR b0, UCHAR b1, UCHAR b2, UCHAR b3) {
  return ULONG(b0) | ULONG(b1) << 8 | ULONG(b2) << 16 | ULONG(b3) << 24;
}
ULONG word(const UCHAR* b) { return word(b[0], b[1], b[2], b[3]); }

// Control word carrying bytes 2 and 3 of the transmit word in its upper half.
ULONG control(ULONG bits, ULONG tx0) { return bits | (tx0 & 0xFFFF0000u); }

void sleepMs(LONGLONG ms) {
  LARGE_INTEGER delay;
  delay.QuadPart = -ms * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

bool command(Device* d, ULONG tx0, ULONG bits, ULONG kind) {
  d->writeRegister(hw::spi::kTx0, tx0);
  d->writeRegister(hw::spi::kControl, control(bits, tx0));
  return spi_CheckDone(d, kind);
}
}  // namespace

bool spi_CheckDone(Device* device, ULONG kind) {
  const ULONG reads = kind == 1 ? 200 : kind == 2 ? 400 : 500;
  ULONG last = 0;
  for (ULONG i = 0; i < reads; ++i) {
    last = device->readRegister(hw::spi::kControl) & 0xFF;
    if (last == hw::spi::kDone) return true;
  }
  ZTRACE("----------spi flash check error! %x\n", static_cast<unsigned>(last));
  return false;
}

bool spi_WriteEnable(Device* device) {
  if (command(device, 0x06, kSend1, 1)) return true;
  ZTRACE(" spi_WriteEnable error!\n");
  return false;
}

bool spi_WriteDisable(Device* device) {
  if (command(device, 0x04, kSend1, 1)) return true;
  ZTRACE(" spi_WriteDisable error!\n");
  return false;
}

bool spi_GetFlashID(Device* device, PUCHAR id3) {
  device->writeRegister(hw::spi::kRx, 1);
  if (!command(device, 0xAB, kSend1, 1)) {
    ZTRACE(" spi_GetFlashID error 00 !\n");
    return false;
  }
  if (!command(device, 0x109F, kSend1Recv3, 1)) {
    ZTRACE(" spi read ID error!\n");
    return false;
  }
  const ULONG rx = device->readRegister(hw::spi::kRx);
  for (ULONG i = 0; i < 3; ++i) id3[i] = static_cast<UCHAR>(rx >> (8 * i));
  return true;
}

bool spi_ChipErase(Device* device) {
  spi_WriteEnable(device);
  device->writeRegister(hw::spi::kTx0, 0xC7);
  device->writeRegister(hw::spi::kControl, kSend1);
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  sleepMs(1);
  return true;
}

ULONG spi_ReadStatus(Device* device) {
  device->writeRegister(hw::spi::kTx0, 0x05);
  device->writeRegister(hw::spi::kControl, kSend1Recv1);
  sleepMs(2);
  const ULONG s = device->readRegister(hw::spi::kRx);
  ZTRACE("read status register: %x\n", static_cast<unsigned>(s & 0xFF));
  return (s & 1) ? 0 : 1;
}

ULONG spi_read32bit(Device* device, const UCHAR* a, PULONG out) {
  if (!command(device, word(0x03, a[0], a[1], a[2]), kSend4Recv4, 2)) {
    ZTRACE(" spi_read32bit error!\n");
    return 0;
  }
  *out = device->readRegister(hw::spi::kRx);
  return 1;
}

ULONG spi_Write32bit(Device* device, const UCHAR* a, const UCHAR* page) {
  spi_WriteEnable(device);
  ULONG tx0 = word(0x02, a[0], a[1], a[2]);
  device->writeRegister(hw::spi::kTx0, tx0);
  device->writeRegister(hw::spi::kTx1, word(page));
  device->writeRegister(hw::spi::kControl, control(kSend8First, tx0));
  bool ok = spi_CheckDone(device, 2);
  for (ULONG i = 0; ok && i < 31; ++i) {
    tx0 = word(page + 8 * i + 4);
    device->writeRegister(hw::spi::kTx0, tx0);
    device->writeRegister(hw::spi::kTx1, word(page + 8 * i + 8));
    device->writeRegister(hw::spi::kControl, control(kSend8Continue, tx0));
    ok = spi_CheckDone(device, 2);
  }
  if (ok) {
    tx0 = word(page + 252);
    device->writeRegister(hw::spi::kTx0, tx0);
    device->writeRegister(hw::spi::kControl, control(kSend4Last, tx0));
    ok = spi_CheckDone(device, 2);
  }
  if (!ok) {
    ZTRACE(" spi_Write32bit 1 error!\n");
    return 0;
  }
  // Busy poll; the transmit word keeps the last page bytes above the opcode.
  ULONG status = 1;
  for (ULONG polls = 0; polls < kProgramStatusPolls && (status & 1); ++polls) {
    tx0 = (tx0 & 0xFFFFFF00u) | 0x05;
    if (!command(device, tx0, kSend1Recv1, 1)) {
      ZTRACE(" spi_Write32bit 2 error!\n");
      return 0;
    }
    status = device->readRegister(hw::spi::kRx);
  }
  // Judged on the last status read: idle on the final allowed poll is a completed program.
  if (status & 1) {
    ZTRACE("write 16 bit-------------------------------------------------------- register: %x\n",
           static_cast<unsigned>(status & 0xFF));
    return 0;
  }
  return 1;
}
