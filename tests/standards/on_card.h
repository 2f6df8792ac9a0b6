// Fixture of the end-to-end standards tests: the driver loaded through PnP on the emulated machine, a
// simulated card on the default air (or one a test gives), tuner-demod objects built and powered up the way
// BDATuner does it, the driver's traces and the card's I2C trace collected.
#pragma once
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support.h"
#include "tools/machine.h"

namespace standards_test {

inline constexpr double kTenthDb =
    0.1 + 1e-9;  // the chips round to a tenth; doubles must not turn 0.1 into more

// A monitor's reading (SNR in 0.001 dB and the like) straight from the demodulator, under the path lock as
// the glue takes it.
template <class Monitor>
LONG raw(DemodPath* p, Monitor monitor) {
  LONG v = 0;
  KeWaitForSingleObject(&p->lock, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(monitor(p->integ.p_demod, &v), DEMOD_OK);
  KeReleaseMutex(&p->lock, FALSE);
  return v;
}

class OnCard : public ::testing::Test {
 protected:
  explicit OnCard(std::shared_ptr<sim::Air> air = nullptr) : machine(withAir(std::move(air))) {}

  void SetUp() override {
    ASSERT_EQ(machine.startAll(), STATUS_SUCCESS);
    device = static_cast<Device*>(machine.pnp().ksDevice(machine.card(0))->Context);
    ASSERT_NE(device, nullptr);
    machine.card(0).setI2cTraceSink([this](const std::string& line) {
      std::lock_guard<std::mutex> g(i2cMutex);
      i2c.push_back(line.substr(0, line.find('\n')));
    });
  }
  void TearDown() override {
    machine.card(0).setI2cTraceSink({});
    for (CTunerDemodType* t : objects) delete t;
    objects.clear();
  }

  // An object of class T on `path`, given the Device but not powered up.
  template <class T>
  T* add(UCHAR path) {
    T* t = new T(path);
    t->setDevice(device);
    objects.push_back(t);
    return t;
  }
  static void powerUp(CTunerDemodType* t) {
    ULONG ok = 0;
    t->apiInitEnvironment(&ok);
    EXPECT_EQ(ok, 1u);
    t->resetCurrent();
  }
  // A powered-up object of class T on `path`; path 1 goes first because its power-up resets the whole card.
  template <class T>
  T* object(UCHAR path) {
    if (path != 1 && !pathOnePowered) powerUp(add<T>(1));
    pathOnePowered = true;
    T* t = add<T>(path);
    powerUp(t);
    return t;
  }

  sim::Multiplex mux(const std::string& name) {
    for (const sim::Multiplex& x : machine.air().multiplexes())
      if (x.name == name) return x;
    ADD_FAILURE() << "no multiplex " << name;
    return {};
  }
  static void request(CTunerDemodType* t, ULONG kHz, ULONG bandwidth, ULONG symbolRate = 0) {
    t->setFrequency(kHz);
    t->apiSetBandwidth(bandwidth);
    if (symbolRate) t->apiSetSymbolRate(symbolRate);
  }
  static void request(CTunerDemodType* t, const sim::Multiplex& m) {
    request(t, static_cast<ULONG>(m.frequencyHz / 1000), m.bandwidthHz, m.symbolRate);
  }
  // A commit whose tune reached the air reports success, locked or not; a refused one reports failure.
  static ULONG commit(CTunerDemodType* t, ULONG expected = 1) {
    ULONG ok = 7;
    t->commitChanges(&ok);
    EXPECT_EQ(ok, expected);
    return ok;
  }
  static ULONG locked(CTunerDemodType* t) {
    ULONG l = 7;
    t->getLockStatus(&l);
    return l;
  }
  sim::DemodModel& chip(int path) { return machine.frontEnds(0).demod(path); }
  // Name of the multiplex the path's demodulator has locked ("" when none).
  std::string lockedName(int path) {
    std::optional<sim::Multiplex> x = chip(path).lockedMultiplex();
    return x ? x->name : std::string();
  }
  // The locked path's stream: whole packets with sync bytes, at a bitrate.
  bool streams(int path) {
    std::shared_ptr<sim::TsSource> src = machine.frontEnds(0).stream(path);
    if (!src) return false;
    std::vector<uint8_t> buf(sim::kTsPacket * 8);
    src->fill(buf.data(), 8);
    for (size_t i = 0; i < buf.size(); i += sim::kTsPacket)
      if (buf[i] != 0x47) return false;
    return src->bitrate() > 0;
  }
  void expectCleanCard() {
    for (int k = 0; k < 4; ++k) EXPECT_EQ(machine.card(0).i2cBus(k).collisions(), 0u) << "master " << k;
    EXPECT_TRUE(machine.card(0).errors().empty());
  }

  std::vector<std::string> i2cLines() {
    std::lock_guard<std::mutex> g(i2cMutex);
    return i2c;
  }
  void clearI2c() {
    std::lock_guard<std::mutex> g(i2cMutex);
    i2c.clear();
  }
  // Lines of the card's I2C trace that start with `prefix` (every line for "").
  size_t i2cCount(const std::string& prefix = "") {
    size_t n = 0;
    for (const std::string& l : i2cLines()) n += l.rfind(prefix, 0) == 0;
    return n;
  }
  bool sawI2c(const std::string& line) {
    for (const std::string& l : i2cLines())
      if (l == line) return true;
    return false;
  }

  TraceScope traces;
  zadivo::Machine machine;
  Device* device = nullptr;
  std::vector<CTunerDemodType*> objects;
  bool pathOnePowered = false;

 private:
  static zadivo::MachineConfig withAir(std::shared_ptr<sim::Air> air) {
    zadivo::MachineConfig cfg;
    cfg.air = std::move(air);
    return cfg;
  }
  std::mutex i2cMutex;
  std::vector<std::string> i2c;
};

}  // namespace standards_test
