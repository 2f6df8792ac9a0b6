// One demodulator path of the card's multi-standard demodulator, as a bus slave. It answers at four
// addresses derived from its main address (main, system = +4, command R = -0x40, monitor = +0x58 mod 256),
// keeps a banked register file per address (register 0x00 selects the bank), follows the state the driver
// programs (sleep, active per system selector, TS output, repeater) and reports lock, sync state and SNR
// derived from the air at the frequency its tuner is tuned to. It holds what the driver must have written for
// each standard and bandwidth (sim/demod_settings.h) and the steps that need time (power-up 6 ms, clock 36
// ms): a wrong or missing setting keeps the channel from locking, or shapes the stream (pins left in high
// impedance give no packets, a wrong TS clock another rate), and fault() says which register it was.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/air.h"
#include "sim/chip_regs.h"
#include "sim/i2c_slave.h"
#include "sim/tuner_model.h"

namespace sim {

inline constexpr uint16_t kDemodChip90 = 0x90;
inline constexpr uint16_t kDemodChip91 = 0x91;
inline constexpr uint16_t kDemodChip396 = 0x396;
inline constexpr uint16_t kDemodChip297 = 0x297;
inline constexpr uint16_t kDemodChip197 = 0x197;
inline constexpr uint16_t kDemodChipUnknown = 0x2A5;

// Main address of path 1..8: follows the path index modulo 4, so the two paths of one master differ.
uint8_t demodMainAddress(int path);
uint8_t demodSlaveAddress(uint8_t mainAddr, DemodSlave slave);

struct DemodOptions {
  uint16_t chipId = kDemodChip396;  // 10 bits
};

class DemodModel : public I2cSlave {
 public:
  enum class State { Shutdown, Sleep, Active };

  // The tuner sits behind this demodulator's repeater and must outlive it.
  DemodModel(uint8_t mainAddr, std::shared_ptr<Air> air, TunerModel& tuner, DemodOptions options = {});
  ~DemodModel() override;
  DemodModel(const DemodModel&) = delete;
  DemodModel& operator=(const DemodModel&) = delete;

  bool start(uint8_t addr8, bool read) override;
  bool writeByte(uint8_t byte) override;
  uint8_t readByte() override;
  void stop() override;

  // Reset line: while held the chip NAKs everything; on release it is back at power-on values.
  void setReset(bool held);
  bool inReset() const;

  // Port on the same bus that answers at 0xC0 only while this demodulator's repeater is open.
  I2cSlave& repeaterPort() { return port_; }
  bool repeaterOpen() const;

  uint8_t mainAddress() const { return addr_[0]; }
  State state() const;
  std::optional<DeliverySystem> activeSystem() const;
  bool tsOutputEnabled() const;
  bool signalLock() const;  // the demodulator holds a multiplex
  std::optional<Multiplex> lockedMultiplex() const;

  // Transport stream the path outputs now: the locked multiplex's source while TS output is on, else
  // nullptr. The same source object is returned while the same multiplex stays locked.
  std::shared_ptr<TsSource> stream();
  // Called (from an internal thread, without locks held) when stream() starts returning something else.
  // An empty listener stops the calls; none is running when it returns.
  void setStreamListener(std::function<void()> listener);

  // Back door: register contents as the chip holds them, and faults.
  uint8_t reg(DemodSlave slave, uint8_t bank, uint8_t r) const;
  void setRefuseLock(bool refuse);
  void setChipIdUnreadable(bool unreadable);

  // Why the channel does not lock or its stream is shaped, "" when nothing is wrong: the first register that
  // does not hold what the chip needs, a sleep that left one behind (it stays until the chip is reset and
  // keeps every channel from locking), a step taken too early. Not a fault: asleep, or no signal on air.
  std::string fault() const;
  // Writes to registers the chip does not know, counted for the standard last woken (none before).
  uint64_t unknownWrites() const;
  uint64_t unknownWrites(DeliverySystem system) const;
  std::vector<std::string> unknownWriteLog() const;  // the first ones, "DVB-T: main 0x35:0x6a = 01"

  // Status the chip computes; exposed for tests of the signal model.
  struct Status {
    bool tuneEnded = false;
    bool signal = false;   // a multiplex of this system is at the tuned frequency
    bool canLock = false;  // ... and everything the driver programmed fits it
    bool locked = false;
    bool unlockDetected = false;
    uint8_t syncState = 0;
    std::optional<Multiplex> mux;
    std::string fault;    // as fault()
    bool output = false;  // packets leave the chip (stream on, pins driven, TS clock running)
    double rate = 1;      // of the channel's bitrate, at the TS clock programmed
  };
  Status status() const;

  struct Standard;  // per-standard settings, stream selection and status registers (demod_model.cpp)

 private:
  class Port : public I2cSlave {
   public:
    explicit Port(DemodModel& d) : d_(d) {}
    bool start(uint8_t addr8, bool read) override;
    bool writeByte(uint8_t byte) override;
    uint8_t readByte() override;
    void stop() override;

   private:
    DemodModel& d_;
    bool active_ = false;
  };

  struct Signature {
    uint8_t selector = 0;
    uint32_t bandwidthHz = 0;
    TunerModel::Tuning tuning;
    int32_t streamId = kNoStreamId;
    bool operator==(const Signature& o) const;
  };

  MainRegs regs() const { return MainRegs{const_cast<uint8_t*>(regs_.data())}; }
  uint8_t& at(int slave, uint8_t bank, uint8_t r) {
    return regs().at(static_cast<DemodSlave>(slave), bank, r);
  }
  uint8_t at(int slave, uint8_t bank, uint8_t r) const {
    return regs().at(static_cast<DemodSlave>(slave), bank, r);
  }
  int slaveOf(uint8_t addr8) const;
  void powerOn_locked();
  State state_locked() const;
  const Standard* standard_locked() const;
  Signature signature_locked(const Standard& s) const;
  Status status_locked() const;
  std::string lockFault_locked(const Standard& s, const Signature& now) const;
  void output_locked(const Standard& s, Status* st) const;
  void presentStatus_locked();
  bool tooEarly_locked(int slave);
  void onWrite_locked(int slave, uint8_t bank, uint8_t r, uint8_t v);
  void onSystemWrite_locked(uint8_t r, uint8_t old, uint8_t v);
  void countUnknown_locked(int slave, uint8_t bank, uint8_t r, uint8_t v);
  void atscCommand_locked(uint8_t bank, uint8_t r, uint8_t v);
  void watch(std::stop_token st);

  std::shared_ptr<Air> air_;
  TunerModel& tuner_;
  DemodOptions opt_;
  uint8_t addr_[4];
  Port port_{*this};

  mutable std::mutex m_;
  std::vector<uint8_t> regs_;  // 4 slaves x 256 banks x 256 registers; guarded by m_
  uint8_t bank_[4] = {};
  bool reset_ = false;
  int cur_ = -1;  // slave of the transfer in progress
  bool reading_ = false, gotPtr_ = false;
  uint8_t ptr_ = 0;
  bool tuneEnded_ = false;
  int64_t tuneEndNs_ = 0;
  Signature tuneSig_;
  bool refuseLock_ = false, chipIdUnreadable_ = false;
  const Standard* current_ = nullptr;  // woken last
  bool sleepPending_ = false;          // a sleep began (0x18 set while active); its 0x17 write ends it
  std::string stickyFault_;            // a sleep or step gone wrong, until reset
  std::string atscFault_;              // the ATSC set-up refused, until the next wake
  bool atscRunning_ = false;  // the ATSC core runs its program: since wake or soft reset, until abort
  int64_t poweredNs_ = -1, clockNs_ = -1;  // core powered up (system 0x02), clock started (system 0x10)
  uint8_t tsClock_[4] = {};        // serial mode, sub mode, period, select latched at the last restart
  std::vector<uint64_t> unknown_;  // per standard, last for none
  std::vector<std::string> unknownLog_;

  // Stream of the locked multiplex, made once per lock.
  std::string srcMux_;  // guarded by m_
  std::shared_ptr<TsSource> src_;
  std::mutex listenerM_;
  std::function<void()> listener_;  // guarded by listenerM_
  std::shared_ptr<TsSource> notified_;
  std::jthread watcher_;
};

}  // namespace sim
