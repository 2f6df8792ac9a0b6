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
  I2cSlave& repeaterPort() { return _port; }
  bool repeaterOpen() const;

  uint8_t mainAddress() const { return _addr[0]; }
  State state() const;
  std::optional<DeliverySystem> activeSystem() const;
  bool tsOutputEnabled() const;
  bool locked() const;
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
    explicit Port(DemodModel& d) : _d(d) {}
    bool start(uint8_t addr8, bool read) override;
    bool writeByte(uint8_t byte) override;
    uint8_t readByte() override;
    void stop() override;

   private:
    DemodModel& _d;
    bool _active = false;
  };

  struct Signature {
    uint8_t selector = 0;
    uint32_t bandwidthHz = 0;
    TunerModel::Tuning tuning;
    int32_t streamId = kNoStreamId;
    bool operator==(const Signature& o) const;
  };

  MainRegs regs() const { return MainRegs{const_cast<uint8_t*>(_regs.data())}; }
  uint8_t& at(int slave, uint8_t bank, uint8_t r) {
    return regs().at(static_cast<DemodSlave>(slave), bank, r);
  }
  uint8_t at(int slave, uint8_t bank, uint8_t r) const {
    return regs().at(static_cast<DemodSlave>(slave), bank, r);
  }
  int slaveOf(uint8_t addr8) const;
  void powerOnLocked();
  State stateLocked() const;
  const Standard* standardLocked() const;
  Signature signatureLocked(const Standard& s) const;
  Status statusLocked() const;
  std::string lockFaultLocked(const Standard& s, const Signature& now) const;
  void outputLocked(const Standard& s, Status* st) const;
  void presentStatusLocked();
  bool tooEarlyLocked(int slave);
  void onWriteLocked(int slave, uint8_t bank, uint8_t r, uint8_t v);
  void onSystemWriteLocked(uint8_t r, uint8_t old, uint8_t v);
  void countUnknownLocked(int slave, uint8_t bank, uint8_t r, uint8_t v);
  void atscCommandLocked(uint8_t bank, uint8_t r, uint8_t v);
  void watch(std::stop_token st);

  std::shared_ptr<Air> _air;
  TunerModel& _tuner;
  DemodOptions _opt;
  uint8_t _addr[4];
  Port _port{*this};

  mutable std::mutex _m;
  std::vector<uint8_t> _regs;  // 4 slaves x 256 banks x 256 registers; guarded by _m
  uint8_t _bank[4] = {};
  bool _reset = false;
  int _cur = -1;  // slave of the transfer in progress
  bool _reading = false, _gotPtr = false;
  uint8_t _ptr = 0;
  bool _tuneEnded = false;
  int64_t _tuneEndNs = 0;
  Signature _tuneSig;
  bool _refuseLock = false, _chipIdUnreadable = false;
  const Standard* _current = nullptr;  // woken last
  bool _sleepPending = false;          // a sleep began (0x18 set while active); its 0x17 write ends it
  std::string _stickyFault;            // a sleep or step gone wrong, until reset
  std::string _atscFault;              // the ATSC set-up refused, until the next wake
  bool _atscRunning = false;  // the ATSC core runs its program: since wake or soft reset, until abort
  int64_t _poweredNs = -1, _clockNs = -1;  // core powered up (system 0x02), clock started (system 0x10)
  uint8_t _tsClock[4] = {};        // serial mode, sub mode, period, select latched at the last restart
  std::vector<uint64_t> _unknown;  // per standard, last for none
  std::vector<std::string> _unknownLog;

  // Stream of the locked multiplex, made once per lock.
  std::string _srcMux;  // guarded by _m
  std::shared_ptr<TsSource> _src;
  std::mutex _listenerM;
  std::function<void()> _listener;  // guarded by _listenerM
  std::shared_ptr<TsSource> _notified;
  std::jthread _watcher;
};

}  // namespace sim
