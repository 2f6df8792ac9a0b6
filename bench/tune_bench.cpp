// One DVB-T tune on the emulated machine, in platform time and I2C transfers, quiet and under the spinning
// load in alternation. Two ways in: the channel object's commit, which tries DVB-T2 first (that attempt
// waits its full lock time on a DVB-T multiplex) and then tunes DVB-T, and a direct DVB-T tune through the
// glue. Each from sleep (chip wake-up included) and as a re-tune of an awake chip; lock waits included.
#include <benchmark/benchmark.h>

#include <atomic>

#include "bench/load.h"
#include "platform/host/clock.h"
#include "platform/host/host.h"
#include "tools/machine.h"
#include "trace/trace.h"
#include "zadivo/bdatuner.h"
#include "zadivo/sony_cxd6802/sony_cxd6802.h"
#include "zadivo/tuner_demod_objects.h"

namespace {

const sim::Multiplex* firstDvbt(sim::Air& air) {
  for (const auto& m : air.multiplexes())
    if (m.system == sim::DeliverySystem::DVBT && m.bandwidthHz == 8000000) return &m;
  return nullptr;
}

struct TuneFigures {
  double platformMs = 0;
  double transfers = 0;
  int tunes = 0;
  int locked = 0;
};

// Arguments: 0 through the commit, 1 direct DVB-T; 0 from sleep, 1 re-tune.
void BM_DvbtTune(benchmark::State& state) {
  const bool direct = state.range(0) != 0;
  const bool retune = state.range(1) != 0;
  const int rounds = direct ? 4 : 2;
  host::trace::discard();
  ZadivoTraceLevel = 0;
  zadivo::Machine machine;
  if (machine.startAll() != STATUS_SUCCESS) {
    state.SkipWithError("machine did not start");
    return;
  }
  Device* device = static_cast<Device*>(machine.pnp().ksDevice(machine.card(0))->Context);
  CTunerDemodType* object = device->tuner(0)->tunerDemod();
  const sim::Multiplex* mux = firstDvbt(machine.air());
  if (!mux) {
    state.SkipWithError("no 8 MHz DVB-T multiplex in the default air");
    return;
  }
  const ULONG kHz = static_cast<ULONG>(mux->frequencyHz / 1000);
  std::atomic<uint64_t> transfers{0};
  machine.card(0).setI2cTraceSink([&](const std::string&) { ++transfers; });

  auto tune = [&](TuneFigures& f) {
    if (!retune) {  // back to sleep so that the tune wakes the chip again
      ULONG ok = 0;
      object->apiInitEnvironment(&ok);
      object->resetCurrent();
    }
    object->setFrequency(kHz);
    object->apiSetBandwidth(8);
    transfers = 0;
    const int64_t t0 = host::clock::nowNs();
    ULONG lock = 0;
    if (direct) {
      lock = cxd6802_Tune(object->demodPath(), kHz, 0, 8, 0, DEMOD_MODE_DVBT);
    } else {
      ULONG ok = 0;
      object->commitChanges(&ok);
      object->getLockStatus(&lock);
    }
    f.platformMs += double(host::clock::nowNs() - t0) / 1e6;
    f.transfers += double(transfers.load());
    f.locked += lock ? 1 : 0;
    ++f.tunes;
  };

  // As the I2C read: from an ordinary thread and from a real-time one.
  TuneFigures quiet, loaded, rtQuiet, rtLoaded;
  bool rt = true;
  auto realtimeTune = [&](TuneFigures& f) {
    bench::RealtimeCaller caller;
    rt = rt && caller.ok();
    tune(f);
  };
  for (auto _ : state) {
    if (retune) tune(quiet);  // the chip awake and tuned before the first measured re-tune
    quiet = {};
    for (int r = 0; r < rounds; ++r) {
      tune(quiet);
      realtimeTune(rtQuiet);
      bench::SpinLoad load(true);
      tune(loaded);
      realtimeTune(rtLoaded);
    }
  }
  machine.card(0).setI2cTraceSink({});
  auto ms = [](const TuneFigures& f) { return f.platformMs / f.tunes; };
  state.counters["quiet_platform_ms"] = ms(quiet);
  state.counters["loaded_platform_ms"] = ms(loaded);
  state.counters["loaded_vs_quiet_ratio"] = ms(loaded) / ms(quiet);
  if (rt) {
    state.counters["rt_quiet_platform_ms"] = ms(rtQuiet);
    state.counters["rt_loaded_platform_ms"] = ms(rtLoaded);
    state.counters["rt_loaded_vs_quiet_ratio"] = ms(rtLoaded) / ms(rtQuiet);
  }
  const TuneFigures* all[] = {&quiet, &loaded, &rtQuiet, &rtLoaded};
  double transfersSum = 0, tunes = 0, locked = 0;
  for (const TuneFigures* f : all) {
    transfersSum += f->transfers;
    tunes += f->tunes;
    locked += f->locked;
  }
  state.counters["i2c_transfers_per_tune"] = transfersSum / tunes;
  state.counters["locked_fraction"] = locked / tunes;
}
BENCHMARK(BM_DvbtTune)
    ->ArgNames({"direct", "retune"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
