// The narrow seam between the host emulation and a card: MMIO of a BAR, one interrupt line, DMA into host
// memory by bus address, PCI identity and configuration space. The card model implements PciFunction; the
// host implements HostBus and hands it to the card when the card is plugged in.
#pragma once
#include <cstddef>
#include <cstdint>

namespace host {

// What the host offers a plugged-in card.
class HostBus {
 public:
  virtual ~HostBus() = default;
  // Bus-master write into host memory. False when busAddr..busAddr+len is not inside a live common buffer.
  virtual bool dmaWrite(uint64_t busAddr, const void* src, size_t len) = 0;
  // The card's interrupt line changed level (true = asserted).
  virtual void setInterruptLine(bool asserted) = 0;
};

// What a card offers the host.
class PciFunction {
 public:
  virtual ~PciFunction() = default;
  virtual uint32_t busNumber() const = 0;
  virtual uint32_t deviceNumber() const = 0;  // slot
  virtual uint32_t functionNumber() const = 0;
  virtual uint32_t uiNumber() const = 0;
  virtual void configRead(uint32_t offset, void* buf, uint32_t len) const = 0;
  virtual void configWrite(uint32_t offset, const void* buf, uint32_t len) = 0;
  virtual uint64_t barAddress(int bar) const = 0;  // bus address of the BAR, 0 if absent
  virtual uint32_t barLength(int bar) const = 0;
  virtual uint32_t interruptVector() const = 0;
  virtual uint32_t mmioRead(int bar, uint32_t offset) = 0;
  virtual void mmioWrite(int bar, uint32_t offset, uint32_t value) = 0;
  // Called once when plugged into a host, with nullptr when unplugged.
  virtual void attach(HostBus* bus) = 0;
};

}  // namespace host
