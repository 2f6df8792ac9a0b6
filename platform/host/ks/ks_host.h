// Host side of the kernel-streaming emulation: the hooks the PnP manager calls for each KSDEVICE, the
// in-memory registry that KsRegisterFilterWithNoKSPins and the factories' cache data write, and counters
// tests use for leak checks. Applications use platform/host/client instead of this header.
#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/bda.h"
#include "platform/ks.h"

namespace host::ks {

// ---- Device lifetime (called by the PnP manager)
// ---------------------------------------------------------------- A KSDEVICE exists (after dispatch Add):
// its FDO and PDO now resolve to it.
void deviceCreated(PKSDEVICE device);
// The device's start completed (Start and PostStart succeeded): the interfaces of its factories are enabled,
// and from now on factories are created and deleted only under the device mutex.
void deviceStarted(PKSDEVICE device);
// The device was stopped: its factories' interfaces are disabled, and factories created with
// KSCREATE_ITEM_FREEONSTOP are torn down (their filters and pins closed, bags emptied), as the next start
// creates them again.
void deviceStopped(PKSDEVICE device);
// The device goes away: every factory, filter and pin of it is torn down and its registrations dropped.
// Call before the device's own bag is destroyed.
void deviceRemoved(PKSDEVICE device);

// ---- Registry (per machine: the driver object of the device)
// ---------------------------------------------------
struct RegisteredPin {
  KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_IN;
  std::vector<KSPIN_MEDIUM> mediums;
};
struct Registration {
  uint64_t id = 0;
  PKSDEVICE device = nullptr;
  PDRIVER_OBJECT machine = nullptr;
  GUID category{};
  GUID reference{};  // the factory's reference GUID; GUID_NULL for a registration without a factory
  bool openable = false;
  std::vector<RegisteredPin> pins;
};
// Registrations of a category; machine nullptr = all machines.
std::vector<Registration> registered(const GUID& category, PDRIVER_OBJECT machine = nullptr);

// ---- Inspection
// -------------------------------------------------------------------------------------------------
size_t liveFactories();
size_t liveFilters();
size_t livePins();
// Reference-clock interfaces handed out and not yet released.
size_t outstandingClockReferences();
// Joints (input pin, output pin) of a BDA filter's committed topology.
std::vector<std::pair<ULONG, ULONG>> bdaTopology(PKSFILTER filter);

}  // namespace host::ks
