// The silicon tuner in front of each demodulator path, as a bus slave at 0xC0 (reached only through its
// demodulator's repeater). A register file with auto-incrementing sub-address; chip id and the variant
// read-backs the driver probes at power-on; the frequency and filter decoded from the tune block it receives;
// AGC words that follow the air's level at the tuned frequency. At each tune end it checks what the driver
// must have written for the system tuned (power-on block, IF and loop settings, the whole tune block) on the
// board's crystal 2, and the steps that need time: power-on status ready 16 ms after start, the PLL settled
// 80 ms after the tune block. A tune with something wrong carries the reason in Tuning::fault.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/i2c_slave.h"

namespace sim {

class Air;

inline constexpr uint8_t kTunerAddress = 0xC0;

// Chip-id high nibble 0xC or 0xD: the variant is told by probe read-backs (1, 2 or 4); 0xE: variant 3.
struct TunerOptions {
  uint8_t chipId = 0xE4;
  int probeVariant = 1;       // for ids 0xC_/0xD_: 1, 2 or 4
  bool powerOnFault = false;  // status register 0x1A reads non-zero after power-on
};

class TunerModel : public I2cSlave {
 public:
  explicit TunerModel(std::shared_ptr<const Air> air, TunerOptions options = {});

  bool start(uint8_t addr8, bool read) override;
  bool writeByte(uint8_t byte) override;
  uint8_t readByte() override;
  void stop() override;

  // Back to power-on values (the card's reset).
  void powerOn();

  // What the last tune block programmed. Analog systems and cable are told apart from terrestrial.
  struct Tuning {
    bool valid = false;
    uint32_t frequencyKHz = 0;
    uint32_t filterHz = 0;  // channel filter: 1.7, 6, 7 or 8 MHz
    int systemRow = 0;      // first row of the tuner's system table the block matches, 0 = none
    bool analog = false;
    bool cable = false;       // cable IF path (0x91 = 16 26)
    int rfOffsetCentiDb = 0;  // the level correction the tune's standard family gets from the driver
    bool ended = false;       // a tune end followed the block
    std::string fault;        // what the tune end found wrong, "" when nothing
  };
  Tuning tuning() const;
  uint8_t reg(uint8_t r) const;
  const TunerOptions& options() const { return opt_; }
  // Writes to registers the chip does not have, since power-on, and the first of them described.
  uint64_t unknownWrites() const;
  std::vector<std::string> unknownWriteLog() const;

  // The two AGC words the chip reports for an input level, as the chip's calibrated response; exposed so
  // tests can check the inverse. rfGainStepCode is register 0x69's low nibble.
  // Two rows of the tuner's system table with the same settings (a tune block cannot tell them apart).
  static bool sameSystem(int rowA, int rowB);
  static int rssiCentiDb(uint8_t ifAgc, uint8_t rfAgc, uint8_t gainStepCode, uint32_t frequencyKHz,
                         int variant);
  static void agcFor(int targetRssiCentiDb, uint8_t gainStepCode, uint32_t frequencyKHz, int variant,
                     uint8_t* ifAgc, uint8_t* rfAgc);

 private:
  int variant() const;
  void onWrite(uint8_t r, uint8_t v);
  uint8_t onRead(uint8_t r);
  void decodeTune();
  void tuneEnded();
  std::string checkTune() const;
  void updateAgc();

  std::shared_ptr<const Air> air_;
  TunerOptions opt_;
  mutable std::mutex m_;
  std::array<uint8_t, 256> regs_{};  // guarded by m_
  uint8_t ptr_ = 0;
  bool selected_ = false, reading_ = false, gotSubaddr_ = false;
  int tuneWriteStart_ = -1;  // sub-address of the burst in progress, for the tune block
  int burstLen_ = 0;
  Tuning tuning_;
  uint8_t ifAgc_ = 0, rfAgc_ = 0;
  int64_t startNs_ = -1;     // power-on start (0x9B cleared)
  int64_t blockNs_ = -1;     // tune block written, not yet ended
  uint8_t atBlock_[3] = {};  // 0x74, 0x87, 0x88 when the tune block arrived: calibration and tuning mode
  std::string stickyFault_;
  uint64_t unknown_ = 0;
  std::vector<std::string> unknownLog_;
};

}  // namespace sim
