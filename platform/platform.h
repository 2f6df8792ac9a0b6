// The one header driver code includes to reach the system. A Windows build switches it to the DDK headers;
// everything here keeps the DDK's names, types and signatures so the same sources build there.
#pragma once
#include "platform/kernel.h"
#include "platform/ks.h"
