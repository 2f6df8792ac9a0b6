// Fixed-point logarithms (x100) used by the signal-quality monitors.
#pragma once
#include "platform/platform.h"

ULONG Log2x100(ULONG x);
ULONG Log10x100(ULONG x);
ULONG Lnx100(ULONG x);
