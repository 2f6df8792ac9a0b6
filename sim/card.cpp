#include "sim/card.h"

#include <cinttypes>
#include <cstring>

#include "hw/board_regs.h"
#include "hw/dma_regs.h"
#include "hw/i2c_regs.h"
#include "hw/irq_regs.h"
#include "hw/spi_regs.h"
#include "platform/host/clock.h"

namespace sim {
namespace {
void put16(std::array<uint8_t, 256>& c, size_t off, uint16_t v) {
  c[off] = static_cast<uint8_t>(v);
  c[off + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::array<uint8_t, 256>& c, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) c[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const std::array<uint8_t, 256>& c, size_t off) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(c[off + i]) << (8 * i);
  return v;
}
std::string hex(const char* fmt, uint64_t a, uint64_t b = 0) {
  char buf[160];
  std::snprintf(buf, sizeof buf, fmt, a, b);
  return buf;
}
constexpr uint32_t kBarMemFlags64 = 0x4;
}  // namespace

Card::Card(const CardConfig& config) : cfg_(config), bar0_(config.bar0Address & ~uint64_t{0xFFFF}) {
  // Reset lines come up released; the driver pulses them at start-up.
  for (auto& r : reset_) r.store(hw::board::kResetReleased);
  put16(config_, 0x00, kVendorId);
  put16(config_, 0x02, kDeviceId);
  put16(config_, 0x04, 0x0006);  // memory space and bus master enabled
  config_[0x08] = 0x01;          // revision
  config_[0x0A] = 0x80;          // multimedia controller, other
  config_[0x0B] = 0x04;
  bool wide = (bar0_ >> 32) != 0;
  put32(config_, 0x10, static_cast<uint32_t>(bar0_) | (wide ? kBarMemFlags64 : 0));
  if (wide) put32(config_, 0x14, static_cast<uint32_t>(bar0_ >> 32));
  put16(config_, 0x2C, kVendorId);
  put16(config_, 0x2E, kDeviceId);
  config_[0x3C] = static_cast<uint8_t>(config.interruptVector);
  config_[0x3D] = 0x01;  // INTA

  for (int k = 0; k < 4; ++k) {
    buses_[k] = std::make_unique<I2cBus>(hw::i2c::kMasterBase[k]);
    buses_[k]->setTraceSink([this](const std::string& line) { emitI2cLine(line); });
  }
  auto log = [this](const std::string& msg) { error(msg); };
  eeprom_ = std::make_unique<Eeprom>(cfg_.eepromFile, log);
  flash_ = std::make_unique<SpiFlash>(cfg_.flashFile, log);
  buses_[3]->addSlave(eeprom_.get());
  dmaThread_ = std::thread([this] { dmaThread(); });
}

Card::~Card() {
  {
    std::lock_guard<host::realtime::Mutex> g(m_);
    quit_ = true;
  }
  dmaCv_.notify_all();
  dmaThread_.join();
  buses_[3]->removeSlave(eeprom_.get());
}

// ---- PCI identity -------------------------------------------------------------------------------------

void Card::configRead(uint32_t offset, void* buf, uint32_t len) const {
  auto* out = static_cast<uint8_t*>(buf);
  std::lock_guard<host::realtime::Mutex> g(m_);
  for (uint32_t i = 0; i < len; ++i) {
    uint64_t at = uint64_t{offset} + i;
    out[i] = at < config_.size() ? config_[at] : 0xFF;  // beyond the header reads as an idle bus
  }
}

void Card::configWrite(uint32_t offset, const void* buf, uint32_t len) {
  const auto* in = static_cast<const uint8_t*>(buf);
  std::lock_guard<host::realtime::Mutex> g(m_);
  if (uint64_t{offset} + len > config_.size())
    error_locked(hex("config write beyond 256 bytes at 0x%" PRIx64, offset));
  bool wide = (config_[0x10] & kBarMemFlags64) != 0;
  for (uint32_t i = 0; i < len; ++i) {
    uint64_t at = uint64_t{offset} + i;
    if (at >= config_.size()) break;
    bool writable = at == 0x04 || at == 0x05 || at == 0x3C || (at >= 0x10 && at < 0x14) ||
                    (wide && at >= 0x14 && at < 0x18);
    if (writable) config_[at] = in[i];
  }
  // A BAR decodes only its size: the low bits read back as zero (sizing with all ones works).
  uint32_t low = get32(config_, 0x10);
  put32(config_, 0x10, (low & ~(hw::board::kBar0Length - 1)) | (wide ? kBarMemFlags64 : 0));
}

uint64_t Card::barAddress(int bar) const {
  if (bar != 0) return 0;
  std::lock_guard<host::realtime::Mutex> g(m_);
  uint64_t a = get32(config_, 0x10) & ~uint32_t{0xF};
  if (config_[0x10] & kBarMemFlags64) a |= uint64_t{get32(config_, 0x14)} << 32;
  return a;
}

uint32_t Card::barLength(int bar) const { return bar == 0 ? hw::board::kBar0Length : 0; }

void Card::attach(host::HostBus* bus) {
  {
    std::lock_guard<host::realtime::Mutex> g(m_);
    bus_ = bus;
  }
  {
    std::lock_guard<host::realtime::Mutex> g(lineM_);
    line_ = false;  // a new host starts from a released line
  }
  updateLine();
}

// ---- Traces and error log -----------------------------------------------------------------------------

void Card::setMmioTrace(FILE* f) {
  std::lock_guard<host::realtime::Mutex> g(m_);
  mmioFile_ = f;
}
void Card::setMmioTraceSink(std::function<void(const std::string&)> sink) {
  std::lock_guard<host::realtime::Mutex> g(m_);
  mmioSink_ = std::move(sink);
}
void Card::setI2cTrace(FILE* f) {
  std::lock_guard<std::mutex> g(i2cTraceM_);
  i2cFile_ = f;
}
void Card::setI2cTraceSink(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> g(i2cTraceM_);
  i2cSink_ = std::move(sink);
}

void Card::traceMmio_locked(char rw, uint32_t offset, uint32_t value) {
  if (!mmioFile_ && !mmioSink_) return;
  char line[40];
  std::snprintf(line, sizeof line, "%c 0x%04x 0x%08x\n", rw, offset, value);
  if (mmioFile_) std::fputs(line, mmioFile_);
  if (mmioSink_) mmioSink_(line);
}

void Card::emitI2cLine(const std::string& line) {
  std::lock_guard<std::mutex> g(i2cTraceM_);
  if (i2cFile_) {
    std::fputs(line.c_str(), i2cFile_);
    std::fputc('\n', i2cFile_);
  }
  if (i2cSink_) i2cSink_(line + "\n");
}

void Card::error(const std::string& msg) {
  std::lock_guard<std::mutex> g(errM_);
  errors_.push_back(msg);
  if (cfg_.echoErrors) std::fprintf(stderr, "zadivo card %u: %s\n", cfg_.busNumber, msg.c_str());
}

std::vector<std::string> Card::errors() const {
  std::lock_guard<std::mutex> g(errM_);
  return errors_;
}

void Card::clearErrors() {
  std::lock_guard<std::mutex> g(errM_);
  errors_.clear();
}

// ---- Register window ----------------------------------------------------------------------------------

uint32_t Card::mmioRead(int bar, uint32_t offset) {
  std::lock_guard<host::realtime::Mutex> g(m_);
  uint32_t v = 0;
  if (bar != 0 || offset >= hw::board::kBar0Length) {
    error_locked(
        hex("read of BAR%" PRIu64 " offset 0x%04" PRIx64 " outside the register window", bar, offset));
  } else {
    v = read_locked(offset & ~3u);
  }
  traceMmio_locked('r', offset, v);
  return v;
}

void Card::mmioWrite(int bar, uint32_t offset, uint32_t value) {
  {
    std::unique_lock<host::realtime::Mutex> lk(m_);
    traceMmio_locked('w', offset, value);
    if (bar != 0 || offset >= hw::board::kBar0Length) {
      error_locked(
          hex("write of BAR%" PRIu64 " offset 0x%04" PRIx64 " outside the register window", bar, offset));
      return;
    }
    offset &= ~3u;
    write_locked(offset, value);
    // Stopping a channel returns only when no block of it is still being written (the host may free the
    // buffer next).
    for (int n = 0; n < hw::dma::kChannels; ++n)
      if ((offset == hw::dma::kBlockBase[n] + hw::dma::kControl || offset == hw::irq::dmaEnable(n)) &&
          !dmaActive_locked(dma_[n]))
        waitDmaIdle_locked(lk, n);
  }
  if (bar == 0 && (offset & ~3u) == hw::spi::kControl) awaitSpiBits();
  updateLine();
}

uint32_t Card::read_locked(uint32_t off) {
  for (int n = 0; n < 8; ++n)
    if (off == hw::board::kResetRegs[n]) return reset_[n].load();
  switch (off) {
    case hw::spi::kControl:
      return hw::spi::kDone;  // the write that starts an operation returns when its bits are through
    case hw::spi::kTx0:
      return spiTx0_;
    case hw::spi::kTx1:
      return spiTx1_;
    case hw::spi::kRx:
      return spiRx_;
    case hw::irq::kStatus:
      return status_;
    case hw::irq::kMasterEnable:
      return masterEnable_;
    default:
      break;
  }
  for (int k = 0; k < 4; ++k) {
    if (off == hw::irq::kI2cEnable[k]) return i2cEnable_[k];
    uint32_t base = hw::i2c::kMasterBase[k];
    if (off == base + hw::i2c::kControl) return i2c_[k].readBack;
    if (off == base + hw::i2c::kData) return i2c_[k].dataIn;
    if (off == base + hw::i2c::kMode) return i2c_[k].mode;
  }
  for (int n = 0; n < hw::dma::kChannels; ++n) {
    if (off == hw::irq::dmaEnable(n)) return dma_[n].enabled ? 1 : 0;
    uint32_t base = hw::dma::kBlockBase[n];
    const DmaChannel& c = dma_[n];
    if (off == base + hw::dma::kControl) return c.counter & 0xFF;
    if (off == base + hw::dma::kBufLength) return c.bufLength;
    if (off == base + hw::dma::kAddrHigh) return c.addrHigh;
    if (off == base + hw::dma::kAddrLow) return c.addrLow;
    if (off == base + hw::dma::kBlockLength) return c.blockLength;
  }
  error_locked(hex("read of unknown offset 0x%04" PRIx64, off));
  return 0;
}

void Card::write_locked(uint32_t off, uint32_t value) {
  for (int n = 0; n < 8; ++n) {
    if (off != hw::board::kResetRegs[n]) continue;
    uint32_t old = reset_[n].exchange(value);
    bool wasReset = (old & 1) == 0, inReset = (value & 1) == 0;
    if (wasReset != inReset && resetListener_) resetListener_(n, inReset);
    return;
  }
  switch (off) {
    case hw::spi::kControl:
      spiOperation_locked(value);
      return;
    case hw::spi::kTx0:
      spiTx0_ = value;
      return;
    case hw::spi::kTx1:
      spiTx1_ = value;
      return;
    case hw::spi::kRx:
      spiRx_ = value;
      return;
    case hw::irq::kStatus:
      status_ &= ~value;  // write 1 to clear
      spurious_ = false;
      return;
    case hw::irq::kMasterEnable:
      masterEnable_ = value & 1;
      return;
    default:
      break;
  }
  for (int k = 0; k < 4; ++k) {
    if (off == hw::irq::kI2cEnable[k]) {
      i2cEnable_[k] = value & 1;
      return;
    }
    uint32_t base = hw::i2c::kMasterBase[k];
    if (off == base + hw::i2c::kControl) return i2cOperation_locked(k, value);
    if (off == base + hw::i2c::kData) {
      i2c_[k].dataOut = value;
      return;
    }
    if (off == base + hw::i2c::kMode) {
      i2c_[k].mode = value & 0xFF;
      return;
    }
  }
  for (int n = 0; n < hw::dma::kChannels; ++n) {
    if (off == hw::irq::dmaEnable(n)) return dmaEnableWrite_locked(n, value & 1);
    uint32_t base = hw::dma::kBlockBase[n];
    DmaChannel& c = dma_[n];
    if (off == base + hw::dma::kControl) return dmaControlWrite_locked(n, value);
    if (off == base + hw::dma::kBufLength) {
      c.bufLength = value;
      return;
    }
    if (off == base + hw::dma::kAddrHigh) {
      c.addrHigh = value;
      return;
    }
    if (off == base + hw::dma::kAddrLow) {
      c.addrLow = value;
      return;
    }
    if (off == base + hw::dma::kBlockLength) {
      c.blockLength = value;
      return;
    }
  }
  error_locked(hex("write 0x%08" PRIx64 " to unknown offset 0x%04" PRIx64, value, off));
}

// ---- I2C masters --------------------------------------------------------------------------------------

void Card::i2cOperation_locked(int k, uint32_t control) {
  I2cMaster& m = i2c_[k];
  I2cBus& bus = *buses_[k];
  const uint32_t base = hw::i2c::kMasterBase[k];
  const uint32_t b0 = control & 0xFF;
  uint32_t count = b0 & hw::i2c::kCountMask;
  uint32_t sub = (b0 & hw::i2c::kSubMask) >> 4;
  const uint8_t slave = static_cast<uint8_t>(control >> 8);
  const uint8_t bytes[6] = {static_cast<uint8_t>(control >> 16),   static_cast<uint8_t>(control >> 24),
                            static_cast<uint8_t>(m.dataOut),       static_cast<uint8_t>(m.dataOut >> 8),
                            static_cast<uint8_t>(m.dataOut >> 16), static_cast<uint8_t>(m.dataOut >> 24)};
  const uint64_t collisionsBefore = bus.collisions();
  bool refused = false;

  if (b0 & hw::i2c::kStart) {
    m.addr8 = slave & 0xFE;
    m.reading = (slave & 1) != 0;
    m.open = true;
    if (!m.reading && sub != 0) {
      error_locked(hex("i2c master 0x%04" PRIx64 ": sub-address flags on a write, ignored", base));
      sub = 0;
    }
    if (sub == 3) {
      error_locked(hex("i2c master 0x%04" PRIx64 ": sub-address count 3 (0x30) is not defined", base));
      sub = 2;
    }
    if (m.reading && sub != 0) {
      // Write phase with the sub-address, then a repeated start in read direction.
      if (bus.start(m.addr8, false)) {
        for (uint32_t i = 0; i < sub; ++i) bus.write(bytes[i]);
        if (!bus.failed()) bus.start(m.addr8, true);
      }
    } else {
      bus.start(m.addr8, m.reading);
    }
  } else if (!m.open) {
    error_locked(
        hex("i2c master 0x%04" PRIx64 ": continuation 0x%08" PRIx64 " without a transfer", base, control));
    refused = true;
  } else if (((slave & 1) != 0) != m.reading) {
    error_locked(
        hex("i2c master 0x%04" PRIx64 ": continuation 0x%08" PRIx64 " changes direction", base, control));
  }

  const uint32_t maxCount = m.reading ? 4 : 6;
  if (count > maxCount) {
    error_locked(hex(m.reading ? "i2c master 0x%04" PRIx64 ": read of %" PRIu64 " bytes (at most 4)"
                               : "i2c master 0x%04" PRIx64 ": write of %" PRIu64 " bytes (at most 6)",
                     base, count));
    count = maxCount;
  }
  if (!refused) {
    if (m.reading) {
      m.dataIn = 0xFFFFFFFF;
      for (uint32_t i = 0; i < count; ++i) {
        uint32_t v = bus.read();
        m.dataIn = (m.dataIn & ~(0xFFu << (8 * i))) | (v << (8 * i));
      }
    } else {
      for (uint32_t i = 0; i < count; ++i) bus.write(bytes[i]);
    }
  }
  const bool nak = refused || bus.failed();
  if (b0 & hw::i2c::kStop) {
    bus.stop();
    m.open = false;
  }
  m.readBack = kI2cDone | (nak ? kI2cNak : 0) | (bus.collisions() != collisionsBefore ? kI2cCollision : 0);
  status_ |= hw::irq::kI2cBit(k);
}

I2cBus& Card::i2cBus(int master) { return *buses_.at(static_cast<size_t>(master)); }

// ---- SPI controller -----------------------------------------------------------------------------------

void Card::spiOperation_locked(uint32_t control) {
  spiControl_ = control;
  if (!(control & hw::spi::kGo)) return;
  uint32_t send = (control >> hw::spi::kTxCountShift) & 0xF;
  uint32_t recv = (control >> hw::spi::kRxCountShift) & 0xF;
  if (send > 8) {
    error_locked(hex("spi: send count %" PRIu64 " (at most 8)", send));
    send = 8;
  }
  if (recv > 4) {
    error_locked(hex("spi: receive count %" PRIu64 " (at most 4)", recv));
    recv = 4;
  }
  if (control & hw::spi::kBegin) {
    if (spiSelected_) flash_->deselect();
    flash_->select();
    spiSelected_ = true;
  } else if (!spiSelected_) {
    error_locked(hex("spi: operation 0x%08" PRIx64 " without chip select", control));
    return;
  }
  const int64_t bits = 8 * int64_t{send + ((control & hw::spi::kReceive) ? recv : 0)};
  spiBitsOutNs_ = host::clock::nowNs() + bits * 1'000'000'000 / kSpiClockHz;
  const uint64_t tx = uint64_t{spiTx0_} | (uint64_t{spiTx1_} << 32);
  for (uint32_t i = 0; i < send; ++i) flash_->transfer(static_cast<uint8_t>(tx >> (8 * i)));
  if (control & hw::spi::kReceive) {
    uint32_t rx = 0;
    for (uint32_t i = 0; i < recv; ++i) rx |= uint32_t{flash_->transfer(0xFF)} << (8 * i);
    spiRx_ = rx;
  }
  if (control & hw::spi::kEnd) {
    flash_->deselect();
    spiSelected_ = false;
  }
}

// Outside the register lock: the bus stays free for the interrupt, the DMA and the other masters meanwhile.
// A few microseconds at real time are waited out on the processor, as a sleep would take far longer.
void Card::awaitSpiBits() const {
  int64_t until;
  {
    std::lock_guard<host::realtime::Mutex> g(m_);
    until = spiBitsOutNs_;
  }
  const auto end = host::clock::realPointOf(until);
  if (end - std::chrono::steady_clock::now() > std::chrono::microseconds(100))
    std::this_thread::sleep_until(end);
  while (host::clock::nowNs() < until) {
  }
}

// ---- Reset lines, interrupts, faults ------------------------------------------------------------------

bool Card::demodInReset(int n) const {
  if (n < 0 || n >= 8) return false;
  return (reset_[n].load() & 1) == 0;
}

void Card::setResetListener(std::function<void(int, bool)> listener) {
  std::lock_guard<host::realtime::Mutex> g(m_);
  resetListener_ = std::move(listener);
}

uint32_t Card::interruptStatus() const {
  std::lock_guard<host::realtime::Mutex> g(m_);
  return status_;
}

bool Card::wantLine_locked() const {
  if (spurious_) return true;
  if (!masterEnable_) return false;
  uint32_t enabled = 0;
  for (int k = 0; k < 4; ++k)
    if (i2cEnable_[k]) enabled |= hw::irq::kI2cBit(k);
  for (int n = 0; n < hw::dma::kChannels; ++n)
    if (dma_[n].enabled) enabled |= hw::irq::kDmaBit(n);
  return (status_ & enabled) != 0;
}

void Card::updateLine() {
  std::lock_guard<host::realtime::Mutex> line(lineM_);
  bool want;
  host::HostBus* bus;
  {
    std::lock_guard<host::realtime::Mutex> g(m_);
    want = wantLine_locked();
    bus = bus_;
  }
  if (want != line_.load()) {
    line_.store(want);
    if (bus) bus->setInterruptLine(want);
  }
}

void Card::raiseSpuriousInterrupt() {
  {
    std::lock_guard<host::realtime::Mutex> g(m_);
    spurious_ = true;
  }
  updateLine();
}

}  // namespace sim
