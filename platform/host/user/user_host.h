// Host side of the Win32 emulation: what tests look at beside the application's own calls.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/user.h"

namespace host::user {

// The Win32 error Windows reports for a driver's status (as RtlNtStatusToDosError maps it).
DWORD win32ErrorOf(NTSTATUS status);
// Handles of any kind the application holds.
size_t openHandles();
// The framework's pin behind a pin handle (null for any other handle), for rigs that stand in for a driver.
PKSPIN ksPinOf(HANDLE pin);
// Times the driver asked a pin for a frame while no read request was queued on it.
uint64_t starvedCalls(HANDLE pin);

}  // namespace host::user
