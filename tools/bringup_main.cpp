// Brings one simulated card up and down through PnP with the driver's start-up trace on stderr, and reports
// what was left behind. The capture job replaces it once the capture pin exists.
#include <cstdio>

#include "platform/host/host.h"
#include "tools/machine.h"

int main() {
  host::trace::toStderr();
  zadivo::Machine machine;
  if (!NT_SUCCESS(machine.driverStatus())) {
    fprintf(stderr, "zadivo: driver failed to load (status 0x%08x)\n", (unsigned)machine.driverStatus());
    return 1;
  }
  printf("zadivo: starting one simulated card (no capture yet: the capture pin is not built)\n");
  fflush(stdout);
  const NTSTATUS status = machine.start(0);
  if (!NT_SUCCESS(status)) {
    fprintf(stderr, "zadivo: card start failed (status 0x%08x)\n", (unsigned)status);
    return 1;
  }
  printf("zadivo: card started; stopping and removing it\n");
  fflush(stdout);
  host::Leftovers left;
  machine.remove(0, &left);
  const size_t blocks = host::pool::outstandingBlocks();
  printf("zadivo: removed; mappings %zu, interrupts %zu, DMA adapters %zu, pool blocks %zu\n", left.mappings,
         left.interrupts, left.adapters, blocks);
  const auto errors = machine.card(0).errors();
  for (const auto& e : errors) fprintf(stderr, "card error: %s\n", e.c_str());
  return left.clean() && blocks == 0 && errors.empty() ? 0 : 1;
}
