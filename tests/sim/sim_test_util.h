// Test fixtures for the card model: a host bus with one DMA buffer, a register-file I2C slave and the
// driver-side register sequences the tests replay.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hw/i2c_regs.h"
#include "hw/spi_regs.h"
#include "platform/host/bus.h"
#include "platform/host/clock.h"
#include "sim/card.h"
#include "sim/i2c_slave.h"

namespace simtest {

// Polls cond until true or a generous real-time bound passes.
inline bool waitFor(const std::function<bool()>& cond,
                    std::chrono::milliseconds bound = std::chrono::seconds(10)) {
  auto end = std::chrono::steady_clock::now() + bound;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class FakeHost : public host::HostBus {
 public:
  FakeHost(uint64_t base = 0x1F000000, size_t size = 0x400000) : base_(base), mem_(size, 0) {}
  bool dmaWrite(uint64_t busAddr, const void* src, size_t len) override {
    std::lock_guard<std::mutex> g(m_);
    ++inFlight;
    if (onDma) onDma();
    bool ok = live && busAddr >= base_ && busAddr + len <= base_ + mem_.size();
    if (ok) {
      std::memcpy(mem_.data() + (busAddr - base_), src, len);
      writes.push_back(busAddr);
    }
    --inFlight;
    return ok;
  }
  void setInterruptLine(bool asserted) override {
    line = asserted;
    ++lineChanges;
    if (onLine) onLine(asserted);
  }
  std::vector<uint8_t> bytes(uint64_t busAddr, size_t len) {
    std::lock_guard<std::mutex> g(m_);
    return std::vector<uint8_t>(mem_.begin() + static_cast<long>(busAddr - base_),
                                mem_.begin() + static_cast<long>(busAddr - base_ + len));
  }
  std::vector<uint64_t> writeLog() {
    std::lock_guard<std::mutex> g(m_);
    return writes;
  }
  uint64_t base() const { return base_; }

  std::atomic<bool> live{true};
  std::atomic<bool> line{false};
  std::atomic<int> lineChanges{0};
  std::atomic<int> inFlight{0};
  std::function<void(bool)> onLine;
  std::function<void()> onDma;

 private:
  std::mutex m_;
  uint64_t base_;
  std::vector<uint8_t> mem_;
  std::vector<uint64_t> writes;
};

// A chip with a one-byte register pointer: the first written byte sets it, then bytes are written or read
// at it with auto-increment (the usual register-file slave).
class RegSlave : public sim::I2cSlave {
 public:
  explicit RegSlave(uint8_t addr8) : addr_(addr8) {
    for (int i = 0; i < 256; ++i) regs[i] = static_cast<uint8_t>(i ^ 0x5A);
  }
  bool start(uint8_t addr8, bool read) override {
    if (addr8 != addr_) return false;
    first_ = !read;
    ++starts;
    return true;
  }
  bool writeByte(uint8_t b) override {
    if (first_) {
      ptr_ = b;
      first_ = false;
    } else {
      regs[ptr_++] = b;
    }
    return true;
  }
  uint8_t readByte() override { return regs[ptr_++]; }
  void stop() override { ++stops; }
  uint8_t regs[256];
  int starts = 0, stops = 0;

 private:
  uint8_t addr_;
  uint8_t ptr_ = 0;
  bool first_ = false;
};

// Collects trace lines.
struct Lines {
  std::mutex m;
  std::vector<std::string> v;
  std::function<void(const std::string&)> sink() {
    return [this](const std::string& s) {
      std::lock_guard<std::mutex> g(m);
      v.push_back(s);
    };
  }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> g(m);
    auto r = v;
    v.clear();
    return r;
  }
};

inline sim::CardConfig quietConfig() {
  sim::CardConfig c;
  c.echoErrors = false;
  return c;
}

// One I2C operation as the driver issues it: data word first, then the control word.
inline uint32_t i2cOp(sim::Card& card, int master, uint32_t control, uint32_t data = 0) {
  uint32_t base = hw::i2c::kMasterBase[master];
  card.mmioWrite(0, base + hw::i2c::kData, data);
  card.mmioWrite(0, base + hw::i2c::kControl, control);
  return card.mmioRead(0, base + hw::i2c::kControl);
}
inline uint32_t i2cData(sim::Card& card, int master) {
  return card.mmioRead(0, hw::i2c::kMasterBase[master] + hw::i2c::kData);
}

// SPI controller operations as the driver issues them.
inline void spiOp(sim::Card& card, uint32_t tx0, uint32_t control, uint32_t tx1 = 0) {
  card.mmioWrite(0, hw::spi::kTx0, tx0);
  card.mmioWrite(0, hw::spi::kTx1, tx1);
  card.mmioWrite(0, hw::spi::kControl, control);
}
// A one-byte flash command in a transaction of its own.
inline void flashCommand(sim::Card& card, uint8_t opcode) {
  spiOp(card, opcode, hw::spi::control(1, 0, hw::spi::kWhole));
}
inline uint8_t flashStatus(sim::Card& card) {
  spiOp(card, hw::spi::op::kReadStatus, hw::spi::control(1, 1, hw::spi::kWhole));
  return static_cast<uint8_t>(card.mmioRead(0, hw::spi::kRx));
}

}  // namespace simtest
