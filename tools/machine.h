// One emulated computer with the driver loaded and simulated cards plugged in, each card with its chips and
// the shared broadcast environment. Tests, benchmarks and the tool build on it; the driver is reached only
// through PnP here and through the client side elsewhere.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/host/loader/image.h"
#include "platform/host/pnp.h"
#include "sim/air.h"
#include "sim/card.h"
#include "sim/frontend.h"

namespace zadivo {

struct MachineConfig {
  int cards = 1;
  std::string stateDir;           // per-card EEPROM and flash images; empty keeps them in memory
  std::shared_ptr<sim::Air> air;  // nullptr: the built-in default air
  sim::ChipOptions chips;
  bool echoCardErrors = false;
  // A Windows build of the driver (zadivo.sys) to load and run instead of the driver linked into the program.
  std::string driverImage;
  // The driver's trace level from its load on; negative keeps the driver's own.
  int traceLevel = -1;
  // Say on stderr where the image is loaded (before its DriverEntry runs, for a debugger) and, when the
  // machine goes, how many of its instructions trapped.
  bool imageInfo = false;
};

// The driver linked into the program: its entry and trace level, or nulls in a program that links none (one
// that runs only images).
struct LinkedDriver {
  PDRIVER_INITIALIZE entry;
  LONG* traceLevel;
};
LinkedDriver linkedDriver();

class Machine {
 public:
  explicit Machine(MachineConfig config = {});
  ~Machine();  // removes every card still present
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // DriverEntry's status; cards can be added only after it succeeded.
  NTSTATUS driverStatus() const { return driverStatus_; }
  // Why no driver was loaded when the image could not be, or the program links none ("" otherwise).
  const std::string& driverError() const { return driverError_; }
  // The loaded image, nullptr when the linked driver runs.
  const host::loader::Image* image() const { return image_.get(); }
  // The driver's trace level, in the image or in the linked driver.
  void setTraceLevel(LONG level);
  // Add and start every card; the first failure is returned.
  NTSTATUS startAll();
  NTSTATUS start(int card);
  NTSTATUS stop(int card);
  NTSTATUS remove(int card, host::Leftovers* leftovers = nullptr);

  int cardCount() const { return static_cast<int>(cards_.size()); }
  sim::Card& card(int i) { return *cards_.at(i)->card; }
  sim::FrontEnds& frontEnds(int i) { return *cards_.at(i)->frontEnds; }
  sim::Air& air() { return *air_; }
  std::shared_ptr<sim::Air> airPtr() { return air_; }
  host::PnpManager& pnp() { return pnp_; }
  // Paths of the card's EEPROM and flash images ("" when in memory).
  static std::string eepromPath(const std::string& stateDir, int card);
  static std::string flashPath(const std::string& stateDir, int card);
  static sim::CardConfig cardConfig(int index);

 private:
  struct Slot {
    std::unique_ptr<sim::Card> card;
    std::unique_ptr<sim::FrontEnds> frontEnds;
    bool added = false;
  };
  std::unique_ptr<host::loader::Image> image_;  // outlives the PnP manager that runs it
  bool imageInfo_ = false;
  LONG* traceLevel_ = nullptr;
  host::PnpManager pnp_;
  std::shared_ptr<sim::Air> air_;
  std::vector<std::unique_ptr<Slot>> cards_;
  NTSTATUS driverStatus_ = STATUS_UNSUCCESSFUL;
  std::string driverError_;
};

}  // namespace zadivo
