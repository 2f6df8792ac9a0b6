// SPI flash commands over the controller's control, transmit and receive words. The control word's upper half
// repeats bytes 2 and 3 of the transmit word just written, as the controller stages both in one word.
#include "zadivo/spi_flash.h"

#include "hw/spi_regs.h"
#include "trace/trace.h"
#include "zadivo/device.h"

namespace {
using hw::spi::control;
namespace op = hw::spi::op;

constexpr ULONG kSend1 = control(1, 0, hw::spi::kWhole);
constexpr ULONG kSend1Recv1 = control(1, 1, hw::spi::kWhole);
constexpr ULONG kSend1Recv3 = control(1, 3, hw::spi::kWhole);
constexpr ULONG kSend4Recv4 = control(4, 4, hw::spi::kWhole);
constexpr ULONG kSend8First = control(8, 0, hw::spi::kFirst);
constexpr ULONG kSend8Continue = control(8, 0, hw::spi::kMiddle);
constexpr ULONG kSend4Last = control(4, 0, hw::spi::kLast);
constexpr ULONG kProgramStatusPolls = 250;
// Worst-case page-program time (tPP max) of common serial NOR flashes: 3 ms to 5 ms in their datasheets.
// 250 status reads take well under a millisecond, so the poll goes on by the clock until this has passed.
constexpr LONGLONG kPageProgramMaxUs = 5000;

ULONG word(UCHAR b0, UCHAR b1, UCHAR b2, UCHAR b3) {
  return ULONG(b0) | ULONG(b1) << 8 | ULONG(b2) << 16 | ULONG(b3) << 24;
}
ULONG word(const UCHAR* b) { return word(b[0], b[1], b[2], b[3]); }

void sleepMs(LONGLONG ms) {
  LARGE_INTEGER delay;
  delay.QuadPart = -ms * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

LONGLONG nowUs() {
  LARGE_INTEGER frequency;
  const LARGE_INTEGER count = KeQueryPerformanceCounter(&frequency);
  return count.QuadPart / frequency.QuadPart * 1000000 +
         count.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

bool command(Device* d, ULONG tx0, ULONG bits, ULONG kind) {
  d->writeRegister(hw::spi::kTx0, tx0);
  d->writeRegister(hw::spi::kControl, hw::spi::staged(bits, tx0));
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
  if (command(device, op::kWriteEnable, kSend1, 1)) return true;
  ZTRACE(" spi_WriteEnable error!\n");
  return false;
}

bool spi_WriteDisable(Device* device) {
  if (command(device, op::kWriteDisable, kSend1, 1)) return true;
  ZTRACE(" spi_WriteDisable error!\n");
  return false;
}

bool spi_GetFlashID(Device* device, PUCHAR id3) {
  device->writeRegister(hw::spi::kRx, 1);
  if (!command(device, op::kWake, kSend1, 1)) {
    ZTRACE(" spi_GetFlashID error 00 !\n");
    return false;
  }
  // Only the opcode goes out; the byte above it is what the card has always been given there.
  if (!command(device, word(op::kReadId, 0x10, 0, 0), kSend1Recv3, 1)) {
    ZTRACE(" spi read ID error!\n");
    return false;
  }
  const ULONG rx = device->readRegister(hw::spi::kRx);
  for (ULONG i = 0; i < 3; ++i) id3[i] = static_cast<UCHAR>(rx >> (8 * i));
  return true;
}

bool spi_ChipErase(Device* device) {
  spi_WriteEnable(device);
  device->writeRegister(hw::spi::kTx0, op::kChipErase);
  device->writeRegister(hw::spi::kControl, kSend1);
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  sleepMs(1);
  return true;
}

ULONG spi_ReadStatus(Device* device) {
  device->writeRegister(hw::spi::kTx0, op::kReadStatus);
  device->writeRegister(hw::spi::kControl, kSend1Recv1);
  sleepMs(2);
  const ULONG s = device->readRegister(hw::spi::kRx);
  ZTRACE("read status register: %x\n", static_cast<unsigned>(s & 0xFF));
  return (s & 1) ? 0 : 1;
}

ULONG spi_read32bit(Device* device, const UCHAR* a, PULONG out) {
  if (!command(device, word(op::kRead, a[0], a[1], a[2]), kSend4Recv4, 2)) {
    ZTRACE(" spi_read32bit error!\n");
    return 0;
  }
  *out = device->readRegister(hw::spi::kRx);
  return 1;
}

ULONG spi_Write32bit(Device* device, const UCHAR* a, const UCHAR* page) {
  spi_WriteEnable(device);
  ULONG tx0 = word(op::kPageProgram, a[0], a[1], a[2]);
  device->writeRegister(hw::spi::kTx0, tx0);
  device->writeRegister(hw::spi::kTx1, word(page));
  device->writeRegister(hw::spi::kControl, hw::spi::staged(kSend8First, tx0));
  bool ok = spi_CheckDone(device, 2);
  for (ULONG i = 0; ok && i < 31; ++i) {
    tx0 = word(page + 8 * i + 4);
    device->writeRegister(hw::spi::kTx0, tx0);
    device->writeRegister(hw::spi::kTx1, word(page + 8 * i + 8));
    device->writeRegister(hw::spi::kControl, hw::spi::staged(kSend8Continue, tx0));
    ok = spi_CheckDone(device, 2);
  }
  if (ok) {
    tx0 = word(page + 252);
    device->writeRegister(hw::spi::kTx0, tx0);
    device->writeRegister(hw::spi::kControl, hw::spi::staged(kSend4Last, tx0));
    ok = spi_CheckDone(device, 2);
  }
  if (!ok) {
    ZTRACE(" spi_Write32bit 1 error!\n");
    return 0;
  }
  // Busy poll, at least the prescribed reads and for as long as a program may take. The flash is given up on
  // only after a status read begun past the deadline: a thread held off the processor between a read and its
  // judgement would otherwise fail a program just finished. The transmit word keeps the last page bytes above
  // the opcode.
  const LONGLONG deadlineUs = nowUs() + kPageProgramMaxUs;
  ULONG status = 1;
  bool late = false;
  for (ULONG polls = 0; (status & 1) && (polls < kProgramStatusPolls || !late); ++polls) {
    late = nowUs() >= deadlineUs;
    tx0 = (tx0 & 0xFFFFFF00u) | op::kReadStatus;
    if (!command(device, tx0, kSend1Recv1, 1)) {
      ZTRACE(" spi_Write32bit 2 error!\n");
      return 0;
    }
    status = device->readRegister(hw::spi::kRx);
  }
  // Judged on the last status read: idle on the final poll is a completed program.
  if (status & 1) {
    ZTRACE("write 16 bit-------------------------------------------------------- register: %x\n",
           static_cast<unsigned>(status & 0xFF));
    return 0;
  }
  return 1;
}
