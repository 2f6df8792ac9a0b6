// The machine of a program that links no driver code: it runs only images (MachineConfig::driverImage).
#include "tools/machine.h"

zadivo::LinkedDriver zadivo::linkedDriver() { return {nullptr, nullptr}; }
