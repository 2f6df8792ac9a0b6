// A machine with a driver that registers with the streaming class and does nothing else, so tests can plug
// fake cards and call the kernel's hardware functions directly.
#pragma once
#include "platform/host/pnp.h"
#include "tests/host/support.h"

namespace hosttest {

inline NTSTATUS NTAPI bareDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  static const KSDEVICE_DESCRIPTOR descriptor = {nullptr, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0};
  return KsInitializeDriver(driver, registryPath, &descriptor);
}

struct BareMachine {
  BareMachine() { EXPECT_EQ(pnp.loadDriver(bareDriverEntry), STATUS_SUCCESS); }
  host::PnpManager pnp;
};

}  // namespace hosttest
