// Board storage on the I2C EEPROM (master 0x7000, slave 0xA0): MAC address per instance and the tuner type.
#pragma once
#include "platform/platform.h"

class Device;

inline constexpr UCHAR kEepromTunerType = 0x94;
inline constexpr ULONG kEepromMaster = 0x7000;
inline constexpr UCHAR kEepromSlave = 0xA0;

// MAC request record exchanged with the antenna pin: index at byte 0, MAC to write at 4..9, MAC read
// at 10..15.
struct MacRequest {
  UCHAR bytes[16];
};

void IICWriteEEPROMN(Device* device, UCHAR offset, const UCHAR* data, ULONG length, bool* ok);
bool IICReadEEPROMN(Device* device, UCHAR offset, PUCHAR data, ULONG length, bool* ok);
// Read form (write false) fills bytes 10..15; write form stores bytes 4..9. False for an index outside 1..8
// or a failed transfer.
bool MACAddress_get(Device* device, MacRequest* request, bool write);
bool TunerTypeRead(Device* device, PUCHAR type);
bool TunerTypeWrite(Device* device, UCHAR type);
