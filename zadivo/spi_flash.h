// The card's SPI NOR flash behind the register-window SPI controller: identify, erase, status, read, program.
// PASSIVE_LEVEL, no lock: the flash properties are serialised by their caller.
#pragma once
#include "platform/platform.h"

class Device;

bool spi_CheckDone(Device* device, ULONG kind);
bool spi_WriteEnable(Device* device);
bool spi_WriteDisable(Device* device);
bool spi_GetFlashID(Device* device, PUCHAR id3);
bool spi_ChipErase(Device* device);
ULONG spi_ReadStatus(Device* device);                                    // 1 idle, 0 busy
ULONG spi_read32bit(Device* device, const UCHAR* address3, PULONG out);  // 1 done, 0 failed
ULONG spi_Write32bit(Device* device, const UCHAR* address3, const UCHAR* page256);
