// Test double of the card's I2C side as the demodulator and tuner drivers see it through Device's locked
// operations: per-slave banked register files, tuners behind their demodulator's repeater, a transfer log,
// NAK scripting. Link-time substitute for the real Device (see fake_device.cpp).
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace fake {

struct Transfer {
  uint32_t master = 0;
  uint8_t slave = 0;    // 8-bit address as the driver passed it
  uint8_t tunerOf = 0;  // for 0xC0: main address of the demodulator whose tuner answered (0: none)
  bool write = false;
  uint8_t bank = 0;  // bank selected on that slave when the transfer started
  uint8_t reg = 0;
  std::vector<uint8_t> data;
  bool ok = true;
};

struct Chip {
  bool banked = true;
  uint8_t bank = 0;
  uint8_t pointer = 0;  // sub-address set by a one-byte write, for a following plain read
  uint8_t regs[256][256] = {};
};

class Bus {
 public:
  static Bus& get();
  void reset();

  // A demodulator answers at main, system (+4), R (-0x40) and monitor (+0x58) addresses; its tuner at 0xC0
  // only while the demodulator's repeater (system slave register 0x08) is 1.
  void addDemod(uint32_t master, uint8_t mainAddr, uint16_t chipId, uint8_t tunerId = 0xC4);
  Chip* chip(uint32_t master, uint8_t slave);
  Chip* tuner(uint32_t master, uint8_t demodMain);
  uint8_t& reg(uint32_t master, uint8_t slave, uint8_t bank, uint8_t r) {
    return chip(master, slave)->regs[bank][r];
  }
  uint8_t& tunerReg(uint32_t master, uint8_t demodMain, uint8_t r) {
    return tuner(master, demodMain)->regs[0][r];
  }
  bool repeaterOpen(uint32_t master, uint8_t demodMain);

  // Scripting: a transfer for which failIf returns true is NAKed (logged with ok = false).
  std::function<bool(const Transfer&)> failIf;
  // Called after every successful write, with the bus lock held (may change registers).
  std::function<void(const Transfer&)> afterWrite;

  bool readRegister(uint32_t master, uint8_t slave, uint8_t sub, uint8_t* out, uint32_t length);
  bool readBurst(uint32_t master, uint8_t slave, uint8_t* out, uint32_t length);
  bool writeBurst(uint32_t master, uint8_t slave, const uint8_t* data, uint32_t length);
  bool writeRegister(uint32_t master, uint8_t slave, uint8_t r, const uint8_t* data, uint32_t length);

  std::vector<Transfer> log();
  void clearLog();
  int collisions() const { return _collisions; }

 private:
  struct Demod {
    uint32_t master;
    uint8_t main;
    Chip tuner;
  };
  Chip* resolve_locked(uint32_t master, uint8_t slave, uint8_t* tunerOf);
  bool finish_locked(Transfer& t);

  std::mutex _mutex;
  std::map<std::pair<uint32_t, uint8_t>, Chip> _chips;
  std::vector<Demod> _demods;
  std::vector<Transfer> _log;
  int _collisions = 0;
};

// Filters of the log.
std::vector<Transfer> writesTo(const std::vector<Transfer>& log, uint8_t slave);
bool hasWrite(const std::vector<Transfer>& log, uint8_t slave, uint8_t bank, uint8_t reg,
              const std::vector<uint8_t>& data);
int countWrites(const std::vector<Transfer>& log, uint8_t slave, uint8_t bank, uint8_t reg);
// Reads of a register, refused ones included (unlike the writes above, which count only those that landed).
int countReads(const std::vector<Transfer>& log, uint8_t slave, uint8_t bank, uint8_t reg);

// Kernel double state.
uint64_t virtualMs();
void resetVirtualMs();
std::string trace();
void clearTrace();
std::vector<std::string> asserts();
void setIrql(uint8_t irql);

}  // namespace fake
