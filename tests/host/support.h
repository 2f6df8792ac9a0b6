// Test support for the kernel emulation: an assertion recorder and a small fake card.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/bus.h"
#include "platform/host/host.h"

namespace hosttest {

// Installs the default test handler (every assertion is a test failure).
void installFailingAssertHandler();

// While alive, assertions are recorded instead of failing the test.
class AssertRecorder {
 public:
  AssertRecorder() {
    host::setAssertHandler([this](const char* r) {
      std::lock_guard<std::mutex> g(m_);
      reports_.emplace_back(r);
    });
  }
  ~AssertRecorder() { installFailingAssertHandler(); }
  size_t count() {
    std::lock_guard<std::mutex> g(m_);
    return reports_.size();
  }
  bool saw(const std::string& text) {
    std::lock_guard<std::mutex> g(m_);
    for (auto& r : reports_)
      if (r.find(text) != std::string::npos) return true;
    return false;
  }

 private:
  std::mutex m_;
  std::vector<std::string> reports_;
};

// Waits for pred with a generous bound; never asserts on timing.
template <class Pred>
bool waitFor(Pred pred, std::chrono::milliseconds bound = std::chrono::milliseconds(10000)) {
  auto end = std::chrono::steady_clock::now() + bound;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// A card with a 4 KiB BAR0 of plain registers, except offset 0: interrupt status, write 1s to clear, the line
// asserted while any bit is set.
class FakeCard : public host::PciFunction {
 public:
  FakeCard(uint32_t bus, uint32_t slot, uint32_t vector, uint64_t bar0)
      : bus_(bus), slot_(slot), vector_(vector), bar0_(bar0) {
    for (int i = 0; i < 256; ++i) config_[i] = static_cast<uint8_t>(i ^ 0x5A);
    for (auto& r : regs_) r = 0;
  }
  uint32_t busNumber() const override { return bus_; }
  uint32_t deviceNumber() const override { return slot_; }
  uint32_t functionNumber() const override { return 0; }
  uint32_t uiNumber() const override { return slot_ + 100; }
  void configRead(uint32_t offset, void* buf, uint32_t len) const override {
    std::lock_guard<std::mutex> g(m_);
    memcpy(buf, config_ + offset, len);
  }
  void configWrite(uint32_t offset, const void* buf, uint32_t len) override {
    std::lock_guard<std::mutex> g(m_);
    memcpy(config_ + offset, buf, len);
  }
  uint64_t barAddress(int bar) const override { return bar == 0 ? bar0_ : 0; }
  uint32_t barLength(int bar) const override { return bar == 0 ? 0x1000 : 0; }
  uint32_t interruptVector() const override { return vector_; }
  uint32_t mmioRead(int bar, uint32_t offset) override {
    reads++;
    lastBar = bar;
    return regs_[(offset / 4) % regs_.size()].load();
  }
  void mmioWrite(int bar, uint32_t offset, uint32_t value) override {
    writes++;
    lastBar = bar;
    if (offset == 0) {
      uint32_t left = regs_[0].fetch_and(~value) & ~value;
      if (left == 0) setLine(false);
      return;
    }
    regs_[(offset / 4) % regs_.size()] = value;
  }
  void attach(host::HostBus* bus) override { hostBus = bus; }

  void raise(uint32_t bits) {
    regs_[0].fetch_or(bits);
    setLine(true);
  }
  void setLine(bool on) {
    if (hostBus) hostBus.load()->setInterruptLine(on);
  }
  uint32_t reg(uint32_t offset) { return regs_[offset / 4].load(); }

  std::atomic<host::HostBus*> hostBus{nullptr};
  std::atomic<int> reads{0}, writes{0}, lastBar{-1};

 private:
  uint32_t bus_, slot_, vector_;
  uint64_t bar0_;
  mutable std::mutex m_;
  uint8_t config_[256];
  std::array<std::atomic<uint32_t>, 1024> regs_;
};

}  // namespace hosttest
