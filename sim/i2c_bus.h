// One I2C master's bus: the slaves wired to it, the bus conditions (start, bytes, stop) as the master drives
// them, open-drain arbitration between slaves that answer the same address, the transfer trace and the bus
// faults a test can inject. Slaves are not owned.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "sim/i2c_slave.h"

namespace sim {

class I2cBus {
 public:
  explicit I2cBus(uint32_t masterBase = 0) : master_(masterBase) {}
  I2cBus(const I2cBus&) = delete;
  I2cBus& operator=(const I2cBus&) = delete;

  void addSlave(I2cSlave* slave);
  void removeSlave(I2cSlave* slave);

  // Bus conditions. addr8 is the 8-bit address in write form; a start while a transfer is open is a
  // repeated start. Returns the address ACK (any slave answering).
  bool start(uint8_t addr8, bool read);
  // A byte from the master; true when acknowledged. Nothing reaches the bus after a NAK in this transfer.
  bool write(uint8_t byte);
  // A byte from the slaves (wired AND of all that answered); 0xFF when none drives the bus.
  uint8_t read();
  void stop();
  bool inTransfer() const;
  // The current transfer phase was not acknowledged (address or data NAK).
  bool failed() const;

  // Completed line of the trace: "0x%04x 0x%02x %c" + " %02x" per byte (+ " nak"), no newline.
  void setTraceSink(std::function<void(const std::string&)> sink);

  // Faults, per 8-bit address (write form). A NAK fault answers for every slave at that address.
  void nakAlways(uint8_t addr8);
  void nakAfter(uint8_t addr8, uint64_t answeredPhases);  // ACKs that many address phases, then NAKs
  void nakAtRate(uint8_t addr8, double probability, uint32_t seed);
  void setUnreadable(uint8_t addr8, bool unreadable);  // the slave answers but its data reads as 0xFF
  // Data-phase faults. Data byte `position` (0 = the first byte after the address) fails in each of the next
  // `transfers` transfers to addr8 in that direction that get so far (and, for writes with firstByte >= 0,
  // start with that byte, the register): a written byte is NAKed and reaches no slave; a read byte is lost to
  // a slave holding the clock, which the master reports as it reports a NAK. The rest of the transfer fails.
  void nakDataByte(uint8_t addr8, bool read, uint32_t position, uint64_t transfers = 1, int firstByte = -1);
  // Every data byte to or from addr8 fails that way with this probability.
  void nakDataAtRate(uint8_t addr8, double probability, uint32_t seed);
  void clearFaults();
  // Corrupts bytes on their way to the slaves: called for every byte the master writes with the number of its
  // write transfer (counted from when the hook is set), its position in it (0 = the first byte after the
  // address) and the byte; returns the byte the slaves see. The trace shows what the master sent.
  using WriteCorruption = std::function<uint8_t(uint64_t transfer, int position, uint8_t byte)>;
  void setWriteCorruption(WriteCorruption hook);

  uint64_t collisions() const;     // address phases answered by two or more slaves
  uint64_t addressPhases() const;  // all address phases, answered or not
  uint64_t naks() const;           // address or data NAKs
  uint32_t masterBase() const { return master_; }

 private:
  struct Fault {
    uint8_t addr8 = 0;
    enum class Kind { kAlways, kAfter, kRate, kUnreadable, kDataByte, kDataRate } kind = Kind::kAlways;
    uint64_t limit = 0;
    uint64_t seen = 0;
    double probability = 0;
    std::mt19937 rng{};
    bool read = false;  // data faults: direction
    uint32_t position = 0;
    int firstByte = -1;
  };
  void add(Fault f);  // the address's read/write bit ignored
  bool faultNaks_locked(uint8_t addr8);
  bool dataFault_locked(bool read, uint32_t position);
  bool unreadable_locked(uint8_t addr8) const;
  void endPhase_locked();  // stop to the slaves that took part, trace line out
  void flushLine_locked();
  void nak_locked();

  const uint32_t master_;
  mutable std::recursive_mutex m_;
  std::vector<I2cSlave*> slaves_;
  std::vector<I2cSlave*> active_;  // slaves that ACKed the current address phase
  std::vector<Fault> faults_;
  std::function<void(const std::string&)> sink_;
  WriteCorruption corrupt_;
  uint64_t writeTransfers_ = 0;  // since the hook was set
  int position_ = 0;             // of the next byte in the current transfer, either direction
  uint8_t addr8_ = 0;            // of the current transfer
  int firstByte_ = -1;           // first data byte of the current write transfer
  std::string line_;
  bool open_ = false;    // a transfer is between start and stop
  bool failed_ = false;  // a NAK happened in the current phase
  bool unreadable_ = false;
  uint64_t collisions_ = 0, phases_ = 0, naks_ = 0;
};

}  // namespace sim
