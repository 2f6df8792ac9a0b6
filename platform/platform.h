// The one header driver code includes to reach the system: the host's declarations, or with ZADIVO_WDK the
// DDK's (platform/win/). Everything keeps the DDK's names, types and signatures, and abi_checks.h holds both
// builds to the Windows x64 layouts and values.
#pragma once
#include "platform/abi_checks.h"
#include "platform/kernel.h"
#include "platform/ks.h"
