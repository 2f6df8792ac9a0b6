// The machine of a program that links the driver: it runs that driver unless told to load an image.
#include "tools/machine.h"
#include "trace/trace.h"
#include "zadivo/device.h"

zadivo::LinkedDriver zadivo::linkedDriver() { return {DriverEntry, &ZadivoTraceLevel}; }
