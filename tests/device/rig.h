// A machine with the driver loaded and simulated cards plugged in, for driver tests that go through PnP and
// look at the card's register trace.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/host/pnp.h"
#include "sim/card.h"
#include "trace/trace.h"
#include "zadivo/device.h"

namespace zadivo_test {

struct MmioAccess {
  char rw;
  uint32_t offset;
  uint32_t value;
};

// One card: register and I2C traces captured in memory.
class TracedCard {
 public:
  explicit TracedCard(const sim::CardConfig& cfg = {}) : card(cfg) {
    card.setMmioTraceSink([this](const std::string& line) {
      MmioAccess a{};
      unsigned off = 0, val = 0;
      if (sscanf(line.c_str(), "%c 0x%x 0x%x", &a.rw, &off, &val) == 3) {
        a.offset = off;
        a.value = val;
        std::lock_guard<std::mutex> g(m);
        mmio.push_back(a);
      }
    });
    card.setI2cTraceSink([this](const std::string& line) {
      std::lock_guard<std::mutex> g(m);
      i2c.push_back(line.substr(0, line.find('\n')));
    });
  }
  std::vector<MmioAccess> writes() {
    std::lock_guard<std::mutex> g(m);
    std::vector<MmioAccess> w;
    for (auto& a : mmio)
      if (a.rw == 'w') w.push_back(a);
    return w;
  }
  std::vector<MmioAccess> accesses() {
    std::lock_guard<std::mutex> g(m);
    return mmio;
  }
  // Accesses other than the interrupt service routine's (status and master enable): an ISR for the last
  // completion of an earlier transfer may still be finishing when a test starts looking.
  std::vector<MmioAccess> accessesBesidesIsr() {
    std::lock_guard<std::mutex> g(m);
    std::vector<MmioAccess> out;
    for (auto& a : mmio)
      if (a.offset != 0xC000 && a.offset != 0xC004) out.push_back(a);
    return out;
  }
  std::vector<std::string> i2cLines() {
    std::lock_guard<std::mutex> g(m);
    return i2c;
  }
  void clearTraces() {
    std::lock_guard<std::mutex> g(m);
    mmio.clear();
    i2c.clear();
  }

  sim::Card card;
  std::mutex m;
  std::vector<MmioAccess> mmio;
  std::vector<std::string> i2c;
};

// Every test starts from a quiet, fault-free emulation and checks the pool is back to empty.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::setAssertHandler([](const char* report) { ADD_FAILURE() << report; });
    host::trace::capture();
    host::trace::clear();
    host::pool::clearFaults();
    ZadivoTraceLevel = 1;
    ASSERT_EQ(pnp.loadDriver(DriverEntry), STATUS_SUCCESS);
  }
  void TearDown() override {
    for (auto& c : cards) pnp.remove(c->card);
    cards.clear();
    host::pool::clearFaults();
    EXPECT_EQ(host::pool::outstandingBlocks(), 0u) << host::pool::report();
    host::setAssertHandler({});
  }

  TracedCard& plug(sim::CardConfig cfg = {}) {
    cfg.echoErrors = false;
    cards.push_back(std::make_unique<TracedCard>(cfg));
    EXPECT_EQ(pnp.addCard(cards.back()->card), STATUS_SUCCESS);
    return *cards.back();
  }
  Device* device(TracedCard& c) { return static_cast<Device*>(pnp.ksDevice(c.card)->Context); }

  host::PnpManager pnp;
  std::vector<std::unique_ptr<TracedCard>> cards;
};

}  // namespace zadivo_test
