// One full DVB-T tune on the emulated machine: the first from sleep (wake, tune, lock) and a re-tune, in
// platform time and in I2C operations, against the cost of a bare locked I2C read measured in the same run.
#include <benchmark/benchmark.h>

#include <atomic>

#include "platform/host/clock.h"
#include "platform/host/host.h"
#include "tools/machine.h"
#include "zadivo/bdatuner.h"
#include "zadivo/trace.h"
#include "zadivo/tuner_demod_objects.h"

namespace {

const sim::Multiplex* firstDvbt(sim::Air& air) {
  static sim::Multiplex found;
  for (const auto& m : air.multiplexes())
    if (m.system == sim::DeliverySystem::DVBT && m.bandwidthHz == 8000000) {
      found = m;
      return &found;
    }
  return nullptr;
}

void BM_DvbtTune(benchmark::State& state) {
  const bool retune = state.range(0) != 0;
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
  std::atomic<uint64_t> i2cLines{0};
  machine.card(0).setI2cTraceSink([&](const std::string&) { ++i2cLines; });

  double platformNs = 0, ops = 0;
  uint64_t tunes = 0, locked = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (!retune) {  // back to sleep so the next tune wakes the chip again
      ULONG ok = 0;
      object->apiInitEnvironment(&ok);
      object->resetCurrent();
    }
    object->setFrequency(static_cast<ULONG>(mux->frequencyHz / 1000));
    object->apiSetBandwidth(8);
    i2cLines = 0;
    state.ResumeTiming();
    const int64_t t0 = host::clock::nowNs();
    ULONG ok = 0, lock = 0;
    object->commitChanges(&ok);
    object->getLockStatus(&lock);
    platformNs += double(host::clock::nowNs() - t0);
    ops += double(i2cLines.load());
    locked += lock ? 1 : 0;
    ++tunes;
  }
  state.counters["platform_ms_per_tune"] = platformNs / 1e6 / double(tunes);
  state.counters["i2c_transfers_per_tune"] = ops / double(tunes);
  state.counters["locked_fraction"] = double(locked) / double(tunes);
  machine.card(0).setI2cTraceSink({});
}
BENCHMARK(BM_DvbtTune)->Arg(0)->Arg(1)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
