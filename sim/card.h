// The simulated card: one PCI function with a 64 KiB register window (BAR0), one interrupt line and
// bus-master DMA. It decodes the register map of hw/*.h: demodulator reset lines, the SPI flash controller,
// four I2C masters, eight transport-stream DMA channels and the interrupt status/enable registers. Chips
// (demodulators, tuners) attach to the I2C buses from outside; the EEPROM and the flash are built in.
//
// Everything the driver does is seen as register accesses; tests reach the physical world through the
// back doors below (buses, EEPROM, flash, channel sources, faults) and never through the driver.
#pragma once
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/bus.h"
#include "platform/host/realtime.h"
#include "sim/eeprom.h"
#include "sim/i2c_bus.h"
#include "sim/spi_flash.h"
#include "sim/ts_source.h"

namespace sim {

struct CardConfig {
  uint32_t busNumber = 1;
  uint32_t slot = 0;
  uint32_t function = 0;
  uint32_t uiNumber = 0;
  uint64_t bar0Address = 0xF7000000;
  uint32_t interruptVector = 16;
  std::string eepromFile;  // empty: content lives in memory only
  std::string flashFile;   // empty: content lives in memory only
  bool echoErrors = true;  // card errors also go to stderr
};

// PCI identity of our card (not a real vendor's).
inline constexpr uint16_t kVendorId = 0x5A44;
inline constexpr uint16_t kDeviceId = 0x0008;

// The SPI controller clocks the flash at 25 MHz: an operation takes 8 bit times per byte sent or received.
inline constexpr int64_t kSpiClockHz = 25'000'000;

// I2C control word read back (master + 0x00): the state of the last operation.
inline constexpr uint32_t kI2cDone = 0x01;       // an operation has completed (operations complete at once)
inline constexpr uint32_t kI2cNak = 0x02;        // the address or a written byte was not acknowledged
inline constexpr uint32_t kI2cCollision = 0x04;  // two or more slaves answered the address

struct DmaChannelStats {
  uint64_t blocks = 0;   // blocks written to the host
  uint64_t packets = 0;  // transport packets in those blocks
  uint64_t errors = 0;   // DMA writes the host refused
  bool running = false;  // control 1, enable set and not stopped by an error
};

class Card : public host::PciFunction {
 public:
  explicit Card(const CardConfig& config = {});
  ~Card() override;
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  // host::PciFunction
  uint32_t busNumber() const override { return cfg_.busNumber; }
  uint32_t deviceNumber() const override { return cfg_.slot; }
  uint32_t functionNumber() const override { return cfg_.function; }
  uint32_t uiNumber() const override { return cfg_.uiNumber; }
  void configRead(uint32_t offset, void* buf, uint32_t len) const override;
  void configWrite(uint32_t offset, const void* buf, uint32_t len) override;
  uint64_t barAddress(int bar) const override;
  uint32_t barLength(int bar) const override;
  uint32_t interruptVector() const override { return cfg_.interruptVector; }
  uint32_t mmioRead(int bar, uint32_t offset) override;
  void mmioWrite(int bar, uint32_t offset, uint32_t value) override;
  void attach(host::HostBus* bus) override;

  // Traces (format of the design document), each line with its newline; written in the order the card saw
  // the accesses. A FILE* and a line sink may both be set; nullptr / empty turns one off.
  void setMmioTrace(FILE* f);
  void setMmioTraceSink(std::function<void(const std::string&)> sink);
  void setI2cTrace(FILE* f);
  void setI2cTraceSink(std::function<void(const std::string&)> sink);

  // Card error log: misuse by the driver, unknown offsets, refused DMA, backing-file problems.
  std::vector<std::string> errors() const;
  void clearErrors();

  // Chips.
  I2cBus& i2cBus(int master);  // master 0..3 (0x4000..0x7000)
  Eeprom& eeprom() { return *eeprom_; }
  SpiFlash& flash() { return *flash_; }

  // Demodulator reset lines, n = 0..7 for the registers 0x00, 0x04, 0x08, 0x0C, 0x2C, 0x30, 0x34, 0x38
  // (demodulator path n + 1, DMA channel n). The listener runs in the writing thread, under the card's
  // register lock. Like the I2C slaves' callbacks, it may use the back doors below (channel sources, stats,
  // faults) but must not access the register window.
  bool demodInReset(int n) const;
  void setResetListener(std::function<void(int n, bool inReset)> listener);

  // Transport stream of DMA channel n; nullptr = no data (the channel writes nothing). Thread-safe.
  void setChannelSource(int n, std::shared_ptr<TsSource> source);
  DmaChannelStats dmaStats(int n) const;

  // Interrupt state as the host sees it.
  bool interruptLine() const { return line_.load(); }
  uint32_t interruptStatus() const;

  // Faults.
  void stallDmaChannel(int n, bool stalled);
  void raiseSpuriousInterrupt();  // line asserted with no status bit, until the status is next written

 private:
  struct I2cMaster {
    uint32_t dataOut = 0;
    uint32_t dataIn = 0xFFFFFFFF;
    uint32_t mode = 0;
    uint32_t readBack = kI2cDone;
    bool open = false;     // a transfer is between start and stop
    bool reading = false;  // direction of the open transfer
    uint8_t addr8 = 0;
  };
  struct DmaChannel {
    uint32_t control = 0;
    uint32_t bufLength = 0;
    uint32_t addrHigh = 0;
    uint32_t addrLow = 0;
    uint32_t blockLength = 0;
    uint32_t counter = 0;
    bool enabled = false;
    bool faulted = false;  // stopped by a refused DMA write until restarted
    bool stalled = false;
    bool inFlight = false;  // a block is being written with the register lock dropped
    uint64_t epoch = 0;     // bumped at each start, so a block in flight across a restart is not counted
    int64_t nextDueNs = 0;  // 0: start pacing from now
    std::vector<uint8_t> block;
    std::shared_ptr<TsSource> source;
    DmaChannelStats stats;
  };

  uint32_t read_locked(uint32_t offset);
  void write_locked(uint32_t offset, uint32_t value);
  void i2cOperation_locked(int k, uint32_t control);
  void spiOperation_locked(uint32_t control);
  void awaitSpiBits() const;
  void dmaControlWrite_locked(int n, uint32_t value);
  void dmaEnableWrite_locked(int n, bool on);
  bool dmaActive_locked(const DmaChannel& c) const;
  void restartPacing_locked(DmaChannel& c);
  void error_locked(const std::string& msg) { error(msg); }  // callable with or without m_
  void error(const std::string& msg);
  void waitDmaIdle_locked(std::unique_lock<host::realtime::Mutex>& lk, int n);
  void traceMmio_locked(char rw, uint32_t offset, uint32_t value);
  void emitI2cLine(const std::string& line);
  bool wantLine_locked() const;
  void updateLine();
  void dmaThread();
  void deliverBlock(std::unique_lock<host::realtime::Mutex>& lk, int n, int64_t periodNs);
  static int64_t periodNs(const DmaChannel& c);

  const CardConfig cfg_;
  std::array<uint8_t, 256> config_{};
  uint64_t bar0_;

  // Register state below and the mmio trace. Recursive because chips called under it (I2C slaves, the reset
  // listener) may set channel sources or read statistics. Its holder inherits the rank of an ISR or DPC
  // waiting for it: a register access of theirs never waits behind an ordinary thread kept off the processor.
  mutable host::realtime::Mutex m_{host::realtime::Mutex::kRecursive};
  host::HostBus* bus_ = nullptr;
  std::array<std::atomic<uint32_t>, 8> reset_;
  std::function<void(int, bool)> resetListener_;
  std::array<I2cMaster, 4> i2c_{};
  std::array<std::unique_ptr<I2cBus>, 4> buses_;
  std::unique_ptr<Eeprom> eeprom_;
  std::unique_ptr<SpiFlash> flash_;
  uint32_t spiControl_ = 0, spiTx0_ = 0, spiTx1_ = 0, spiRx_ = 0;
  bool spiSelected_ = false;
  int64_t spiBitsOutNs_ = 0;  // platform time at which the last operation's bits are through
  std::array<DmaChannel, 8> dma_{};
  uint32_t status_ = 0;
  uint32_t masterEnable_ = 0;
  std::array<uint32_t, 4> i2cEnable_{};
  bool spurious_ = false;
  mutable std::mutex errM_;  // leaf lock: chips report errors from inside register accesses
  std::vector<std::string> errors_;
  FILE* mmioFile_ = nullptr;
  FILE* i2cFile_ = nullptr;
  std::function<void(const std::string&)> mmioSink_;
  std::mutex i2cTraceM_;  // taken inside m_ and inside a bus's lock
  std::function<void(const std::string&)> i2cSink_;

  // Interrupt line delivery: the wanted level is read and handed to HostBus::setInterruptLine under lineM_,
  // so that when updateLine returns the host has the level of that moment or a later one, never an older
  // one (an ISR that acknowledged its status bits finds the line released). Recursive: a host that runs its
  // ISR inside setInterruptLine re-enters the card from there. Never taken with m_ held.
  host::realtime::Mutex lineM_{host::realtime::Mutex::kRecursive};
  std::atomic<bool> line_{false};

  // DMA pacing.
  std::condition_variable_any dmaCv_;
  std::condition_variable_any dmaIdleCv_;
  bool quit_ = false;
  uint64_t dmaGeneration_ = 0;
  std::thread dmaThread_;
};

}  // namespace sim
