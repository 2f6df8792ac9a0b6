// The PnP manager of one emulated machine: loads a driver (DriverEntry), adds cards (PDO, FDO, KSDEVICE and
// the driver's Add), starts them with translated resources, stops, removes and sends power and interface
// requests. Every call runs synchronously on the calling thread at PASSIVE_LEVEL.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/host/bus.h"
#include "platform/kernel.h"
#include "platform/ks.h"

namespace host {

// A translated resource list built entry by entry (one full descriptor on the PCI bus), for odd lists in
// tests.
class ResourceList {
 public:
  explicit ResourceList(ULONG busNumber = 0) : busNumber_(busNumber) {}
  // What the PnP manager assigns to a card: BAR0 as memory, then its interrupt.
  static ResourceList forCard(const PciFunction& card);
  // A list with no full descriptor (Count 0), and no list at all.
  static ResourceList empty();
  static ResourceList none();

  ResourceList& port(uint64_t start, ULONG length, bool inIoSpace = true);
  ResourceList& memory(uint64_t start, ULONG length);
  ResourceList& interrupt(ULONG vector, KIRQL level, KAFFINITY affinity = 1, bool latched = false);
  ResourceList& dma(ULONG channel);
  ResourceList& busNumber(ULONG start, ULONG length = 1);
  ResourceList& add(const CM_PARTIAL_RESOURCE_DESCRIPTOR& d);

  size_t count() const { return partials_.size(); }
  // The list in the kernel's layout (nullptr for none()); valid until this object changes or dies.
  PCM_RESOURCE_LIST get();

 private:
  ULONG busNumber_;
  bool none_ = false;
  bool empty_ = false;
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> partials_;
  std::vector<uint8_t> storage_;
};

// Device IRQL the PnP manager gives a card's interrupt.
inline constexpr KIRQL kDeviceIrql = 5;

// What a removed card left behind (all zero after a clean remove).
struct Leftovers {
  size_t mappings = 0;
  size_t interrupts = 0;
  size_t adapters = 0;
  LONG pdoReferences = 0;
  LONG fdoReferences = 0;
  bool clean() const {
    return mappings == 0 && interrupts == 0 && adapters == 0 && pdoReferences == 0 && fdoReferences == 0;
  }
};

class PnpManager {
 public:
  PnpManager();
  ~PnpManager();  // removes the cards still present
  PnpManager(const PnpManager&) = delete;
  PnpManager& operator=(const PnpManager&) = delete;

  // Calls DriverEntry with a fresh driver object; returns its status. One driver per machine.
  NTSTATUS loadDriver(PDRIVER_INITIALIZE entry);
  PDRIVER_OBJECT driverObject();

  // Plugs the card (attaches the host bus to it), creates its device objects and KSDEVICE and calls the
  // driver's Add. On failure the card is unplugged again.
  NTSTATUS addCard(PciFunction& card);
  NTSTATUS start(PciFunction& card);
  NTSTATUS start(PciFunction& card, ResourceList& translated);
  // QueryStop (when the driver has one) and Stop.
  NTSTATUS stop(PciFunction& card);
  // Stop if started, Remove, the device's object bag, KSDEVICE and device objects; the card is unplugged.
  NTSTATUS remove(PciFunction& card, Leftovers* leftovers = nullptr);
  NTSTATUS queryPower(PciFunction& card, DEVICE_POWER_STATE to);
  NTSTATUS setPower(PciFunction& card, DEVICE_POWER_STATE to);
  NTSTATUS queryInterface(PciFunction& card);

  PKSDEVICE ksDevice(PciFunction& card);
  PDEVICE_OBJECT pdo(PciFunction& card);
  bool started(PciFunction& card);

  // Test hooks: IoGetDeviceProperty of this property answers `status`; READ/WRITE_CONFIG IRPs to the card
  // return STATUS_PENDING and complete from another thread.
  void failProperty(PciFunction& card, DEVICE_REGISTRY_PROPERTY property, NTSTATUS status);
  void clearPropertyFailures(PciFunction& card);
  void setConfigPending(PciFunction& card, bool pending);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace host
