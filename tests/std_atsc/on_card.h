// Fixture of the ATSC and ISDB-C machine tests: the driver loaded through PnP on the emulated machine, a
// simulated card with the default air, tuner-demod objects built and powered up the way BDATuner does it,
// and the card's I2C trace collected.
#pragma once
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "tools/machine.h"
#include "zadivo/trace.h"
#include "zadivo/tuner_demod_objects.h"

namespace std_test {

class OnCard : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLevel = ZadivoTraceLevel;
    ZadivoTraceLevel = 1;
    host::trace::capture();
    host::trace::clear();
    host::setAssertHandler([](const char* report) { ADD_FAILURE() << report; });
    ASSERT_EQ(machine.startAll(), STATUS_SUCCESS);
    device = static_cast<Device*>(machine.pnp().ksDevice(machine.card(0))->Context);
    ASSERT_NE(device, nullptr);
    machine.card(0).setI2cTraceSink([this](const std::string& line) {
      std::lock_guard<std::mutex> g(m);
      i2c.push_back(line.substr(0, line.find('\n')));
    });
  }
  void TearDown() override {
    for (CTunerDemodType* t : objects) delete t;
    objects.clear();
    machine.card(0).setI2cTraceSink({});
    ZadivoTraceLevel = savedLevel;
    host::setAssertHandler({});
    host::trace::clear();
  }

  // An initialised object of class T on `path`; path 1 is powered up first (it resets the whole card).
  template <class T>
  T* object(UCHAR path) {
    if (path != 1 && !pathOnePowered) powerUp(add<T>(1));
    pathOnePowered = true;
    T* t = add<T>(path);
    powerUp(t);
    return t;
  }
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
  sim::Multiplex mux(const std::string& name) {
    for (const sim::Multiplex& x : machine.air().multiplexes())
      if (x.name == name) return x;
    ADD_FAILURE() << "no multiplex " << name;
    return {};
  }
  static ULONG commit(CTunerDemodType* t) {
    ULONG ok = 0;
    t->commitChanges(&ok);
    return ok;
  }
  static ULONG locked(CTunerDemodType* t) {
    ULONG l = 7;
    t->getLockStatus(&l);
    return l;
  }
  // Name of the multiplex the path's demodulator has locked ("" when none).
  std::string lockedName(int path) {
    std::optional<sim::Multiplex> x = machine.frontEnds(0).demod(path).lockedMultiplex();
    return x ? x->name : std::string();
  }
  std::vector<std::string> i2cLines() {
    std::lock_guard<std::mutex> g(m);
    return i2c;
  }
  void clearI2c() {
    std::lock_guard<std::mutex> g(m);
    i2c.clear();
  }
  size_t i2cCount(const std::string& prefix) {
    size_t n = 0;
    for (const std::string& l : i2cLines()) n += l.rfind(prefix, 0) == 0;
    return n;
  }
  static bool traced(const std::string& s) { return host::trace::text().find(s) != std::string::npos; }
  void expectCleanCard() {
    for (int k = 0; k < 4; ++k) EXPECT_EQ(machine.card(0).i2cBus(k).collisions(), 0u) << "master " << k;
    EXPECT_TRUE(machine.card(0).errors().empty());
  }

  LONG savedLevel = 0;
  zadivo::Machine machine;
  Device* device = nullptr;
  std::vector<CTunerDemodType*> objects;
  bool pathOnePowered = false;
  std::mutex m;
  std::vector<std::string> i2c;
};

// SNR (0.001 dB) straight from the demodulator of a path, as the glue reads it.
template <class Monitor>
LONG rawSnr(DemodPath* p, Monitor monitor) {
  LONG snr = 0;
  KeWaitForSingleObject(&p->lock, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(monitor(p->integ.p_demod, &snr), DEMOD_OK);
  KeReleaseMutex(&p->lock, FALSE);
  return snr;
}

inline constexpr double kTenthDb = 0.1 + 1e-9;

}  // namespace std_test
