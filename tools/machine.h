// One emulated computer with the driver loaded and simulated cards plugged in, each card with its chips and
// the shared broadcast environment. Tests, benchmarks and the tool build on it; the driver is reached only
// through PnP here and through the client side elsewhere.
#pragma once
#include <memory>
#include <string>
#include <vector>

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
};

class Machine {
 public:
  explicit Machine(MachineConfig config = {});
  ~Machine();  // removes every card still present
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // DriverEntry's status; cards can be added only after it succeeded.
  NTSTATUS driverStatus() const { return driverStatus_; }
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
  host::PnpManager pnp_;
  std::shared_ptr<sim::Air> air_;
  std::vector<std::unique_ptr<Slot>> cards_;
  NTSTATUS driverStatus_;
};

}  // namespace zadivo
