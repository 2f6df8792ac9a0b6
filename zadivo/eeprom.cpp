// Board storage on the I2C EEPROM: MAC addresses per instance and the board-wide tuner type.
#include "zadivo/eeprom.h"

#include "trace/trace.h"
#include "zadivo/device.h"

namespace {
void sleepMs(LONGLONG ms) {
  LARGE_INTEGER delay;
  delay.QuadPart = -ms * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

bool macOffset(ULONG index, UCHAR* offset) {
  if (index < 1 || index > 8) {
    ZTRACE("MACAddress_get wrong index value");
    return false;
  }
  *offset = static_cast<UCHAR>(index * 0x10);
  return true;
}
}  // namespace

void IICWriteEEPROMN(Device* device, UCHAR offset, const UCHAR* data, ULONG length, bool* ok) {
  // The locked EEPROM write stages [offset, data...] in its 56-byte buffer and refuses more than 55 bytes.
  *ok = length >= 1 && device->i2cWriteEeprom(kEepromMaster, kEepromSlave, offset, data, length);
  if (!*ok) ZTRACE("IICWriteEEPROMN false\n");
  sleepMs(30);  // write cycle
}

bool IICReadEEPROMN(Device* device, UCHAR offset, PUCHAR data, ULONG length, bool* ok) {
  *ok = length >= 1 && length <= 255 &&
        device->i2cReadSubAddressed(kEepromMaster, kEepromSlave, offset, data, length);
  if (!*ok) ZTRACE("IICReadEEPROMN false\n");
  return *ok;
}

bool MACAddress_get(Device* device, MacRequest* request, bool write) {
  const ULONG index = ULONG(request->bytes[0]) | ULONG(request->bytes[1]) << 8 |
                      ULONG(request->bytes[2]) << 16 | ULONG(request->bytes[3]) << 24;
  ZTRACE(
      write ? "MACAddress_get Info: Write MAC %d nIndex is:" : "MACAddress_get Info: Read MAC %d nIndex is:",
      static_cast<int>(index));
  UCHAR offset;
  if (!macOffset(index, &offset)) return false;
  bool ok = false;
  if (write) {
    IICWriteEEPROMN(device, offset, &request->bytes[4], 6, &ok);
    for (ULONG i = 0; i < 6; ++i)
      ZTRACE("Tuner %d !!!!!writebytes[%d]=%x\n", static_cast<int>(index), static_cast<int>(i),
             request->bytes[4 + i]);
  } else {
    IICReadEEPROMN(device, offset, &request->bytes[10], 6, &ok);
    for (ULONG i = 0; i < 6; ++i)
      ZTRACE("Tuner %d !!!!!readbytes[%d]=%x\n", static_cast<int>(index), static_cast<int>(i),
             request->bytes[10 + i]);
  }
  // A failed transfer is the caller's to know: the bytes it holds are not the EEPROM's.
  return ok;
}

bool TunerTypeRead(Device* device, PUCHAR type) {
  bool ok;
  IICReadEEPROMN(device, kEepromTunerType, type, 1, &ok);
  return ok;
}

bool TunerTypeWrite(Device* device, UCHAR type) {
  bool ok;
  IICWriteEEPROMN(device, kEepromTunerType, &type, 1, &ok);
  return ok;
}
