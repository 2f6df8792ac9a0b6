// What only the emulated machine has, and the one place the tool reaches past the application's calls: it
// loads the driver and brings the cards up through PnP, keeps their images in the state directory, puts the
// air in front of them, writes their logs and collects what the card model saw wrong. Its platform clock runs
// at the time scale chosen.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/air.h"

namespace zadivo {
class Machine;
}

namespace zadivo::tool {

struct MachineOptions {
  int cards = 1;
  std::string stateDir;  // "" keeps EEPROM and flash in memory
  std::shared_ptr<sim::Air> air;
  double timeScale = 0;     // 0: as the environment sets it (ZADIVO_TIME_SCALE, else real time)
  int traceLevel = -1;      // -1: leave the driver's own default
  std::string driverImage;  // a zadivo.sys to run instead of the linked driver ("" none)
  bool imageInfo = false;   // say where the image is loaded (for a debugger) and, at the end, what it trapped
  std::string traceLog;     // "" no driver traces, "-" stderr, else a file
  std::string mmioLog;
  std::string i2cLog;
};

class Emulation {
 public:
  // Loads the driver and starts the cards in order, calling started(card) after each (false stops with
  // *error set by it). Nullptr with *error when that fails.
  static std::unique_ptr<Emulation> start(const MachineOptions& options,
                                          const std::function<bool(int card, std::string* error)>& started,
                                          std::string* error);
  ~Emulation();
  // Removes the cards and closes the logs: what could not be written to a log, one message per log.
  std::vector<std::string> stop();
  // The same for logs the running machine still writes to, without stopping it.
  std::vector<std::string> flushLogs();
  // Card errors collected so far (misuse seen by the card model).
  std::vector<std::string> cardErrors();
  // The card errors that are failures to read or save an image of the state directory (they name it).
  std::vector<std::string> storageErrors();

 private:
  Emulation() = default;
  std::unique_ptr<zadivo::Machine> machine_;
  std::string stateDir_;
  struct Log {
    std::string path;
    FILE* file = nullptr;
  };
  Log mmio_, i2c_;
  std::string traceLog_;
};

// Where a state directory keeps a card's images.
std::string eepromImagePath(const std::string& stateDir, int card);
std::string flashImagePath(const std::string& stateDir, int card);

// The platform's clock: the emulation's scaled one.
namespace platform_time {
inline constexpr int64_t kMs = 1000000;
int64_t nowNs();
void sleepNs(int64_t platformNs);
// Real seconds per platform second.
double scale();
}  // namespace platform_time

}  // namespace zadivo::tool
