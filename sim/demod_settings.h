// What the demodulator holds while it demodulates each standard and what its sleep leaves behind: the
// registers the driver must have written, per standard and bandwidth, and what a register that does not hold
// its value does to the chip. The model checks them and names the first one that is wrong; a write to a
// register that none of these lists is counted as unknown.
//
// The board runs every path with serial TS output on TSDATA0 at the faster serial clock, crystal 1, no
// channel bonding and no DVB-C2 preset (the preset path's computed values are not held here); those fix the
// values below.
#pragma once
#include <cstdint>
#include <span>
#include <string>

#include "sim/air.h"
#include "sim/chip_regs.h"

namespace sim {

// What a register holding another value does.
enum class Effect : uint8_t {
  Lock,   // the channel does not lock
  Pins,   // no packets leave the chip
  Clock,  // packets leave at another rate
};

// Bytes the chip needs at consecutive registers of one bank of one slave.
struct Run {
  DemodSlave slave;
  uint8_t bank, reg, n;
  uint8_t v[14];
  Effect effect = Effect::Lock;
};

// The settings of one bandwidth (or J.83B symbol-rate class, `code`) and the tuner system row they go with.
struct BandSetting {
  uint32_t hz;
  int code;
  int tunerRow;
  std::span<const Run> runs;
};

struct StandardSettings {
  const char* name;
  std::span<const Run> active;  // besides the common ones, while it demodulates
  std::span<const Run> both;    // held while it demodulates and after its sleep
  std::span<const BandSetting> bands;
  std::span<const Run> sleep;  // besides the common ones, after its sleep
  std::span<const Run> known;  // further registers it writes whose values follow the channel
  bool mainSoftReset;          // its tune end and sleep strobe main 0xFE (all but ATSC)
};

extern const StandardSettings kDvbtSettings, kDvbt2Settings, kDvbcSettings, kDvbc2Settings, kJ83bSettings,
    kIsdbtSettings, kIsdbcSettings, kAtscSettings;

// A register that does not hold what the chip needs.
struct Finding {
  std::string text;  // "main 0x25:0x6a = 01, needs 00"
  Effect effect = Effect::Lock;
  DemodSlave slave = DemodSlave::Main;
  uint8_t bank = 0, reg = 0;
  explicit operator bool() const { return !text.empty(); }
};

std::string describe(DemodSlave slave, uint8_t bank, uint8_t reg);

// First register of the runs that differs (of the given effect, or of any when effect is null).
Finding firstMismatch(const MainRegs& m, std::span<const Run> runs, const Effect* effect = nullptr);
// What every standard needs while active (common wake-up, TS output, tune end) and after sleep.
Finding activeMismatch(const MainRegs& m, const StandardSettings& s, Effect effect);
Finding sleepMismatch(const MainRegs& m, const StandardSettings* s);
// The band setting whose runs all hold; nullptr when none does, and *why names the first wrong register of
// the band that came nearest.
const BandSetting* bandOf(const MainRegs& m, const StandardSettings& s, std::string* why);
// Registers that act the same in every bank: main freeze, system power and repeater.
inline bool globalRegister(DemodSlave slave, uint8_t reg) {
  return (slave == DemodSlave::Main && reg == 0x01) ||
         (slave == DemodSlave::Sys && (reg == 0x02 || reg == 0x08));
}
// A register the chip has: one that bring-up, configuration or some standard writes (a standard's settings
// may be written while another one is still active: the DVB-T2 PLP before the change of standard).
bool knownRegister(DemodSlave slave, uint8_t bank, uint8_t reg);

}  // namespace sim
