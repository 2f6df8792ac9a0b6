// The benchmarks' entry. With --readme-rows the console report goes to stderr and stdout gets the README's
// "Measured" rows, quiet and loaded side by side, made from the counters of this very run
// (bench/figures.sh adds the tool's capture and the machine's load).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>

#include "platform/host/realtime.h"

namespace {

class Collector final : public benchmark::ConsoleReporter {
 public:
  using ConsoleReporter::ConsoleReporter;
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      std::string name = r.run_name.function_name;
      if (!r.run_name.args.empty()) name += "/" + r.run_name.args;
      auto& row = counters_[name];
      for (const auto& [key, c] : r.counters) row[key] = c.value;
    }
  }
  // NaN when the benchmark did not run (filtered out or skipped).
  double get(const std::string& bench, const std::string& key) const {
    auto b = counters_.find(bench);
    if (b == counters_.end()) return __builtin_nan("");
    auto k = b->second.find(key);
    return k == b->second.end() ? __builtin_nan("") : k->second;
  }

 private:
  std::map<std::string, std::map<std::string, double>> counters_;
};

bool has(const Collector& c, const std::string& bench, const std::string& key) {
  const double v = c.get(bench, key);
  return v == v;
}

std::string fmt(const char* f, double a, double b = 0, double c = 0, double d = 0) {
  char s[256];
  std::snprintf(s, sizeof s, f, a, b, c, d);
  return s;
}

void row(const std::string& what, const std::string& quiet, const std::string& loaded) {
  std::printf("| %s | %s | %s |\n", what.c_str(), quiet.c_str(), loaded.c_str());
}

void printRows(const Collector& c) {
  row("interrupt and DPC threads of the emulation",
      host::realtime::enabled() ? "real-time (SCHED_FIFO, interrupt above DPC)" : "normal priority", "same");

  const char* i2c = "BM_I2cReadRegister";
  if (has(c, i2c, "quiet_ns_per_op"))
    row("one locked I2C register read from an ordinary thread (mean of 4000: the caller's register writes, "
        "the card's transfer, ISR, DPC and the caller's wake-up)",
        fmt("%.1f us, %.2f of a bare three-thread wake-up round trip", c.get(i2c, "quiet_ns_per_op") / 1e3,
            c.get(i2c, "vs_round_trip_ratio")),
        fmt("%.1f us, %.2fx quiet", c.get(i2c, "loaded_ns_per_op") / 1e3,
            c.get(i2c, "loaded_vs_quiet_ratio")));
  if (has(c, i2c, "rt_quiet_ns_per_op"))
    row("the same read from a real-time thread (only the emulation's own path left to the load)",
        fmt("%.1f us", c.get(i2c, "rt_quiet_ns_per_op") / 1e3),
        fmt("%.1f us, %.2fx quiet", c.get(i2c, "rt_loaded_ns_per_op") / 1e3,
            c.get(i2c, "rt_loaded_vs_quiet_ratio")));

  struct Tune {
    const char* args;
    const char* what;
  };
  const Tune tunes[] = {
      {"direct:0/retune:0",
       "DVB-T tune from sleep through the channel's commit: DVB-T2 attempt (waits its full 230 x 20 ms on a "
       "DVB-T multiplex), then DVB-T; chip wake-up and lock waits included"},
      {"direct:1/retune:0", "DVB-T tune from sleep, direct: chip wake-up, tuner, lock wait"},
      {"direct:0/retune:1", "DVB-T re-tune of an awake chip through the commit (DVB-T2 attempt included)"},
      {"direct:1/retune:1", "DVB-T re-tune of an awake chip, direct"},
  };
  for (const Tune& t : tunes) {
    const std::string b = std::string("BM_DvbtTune/") + t.args;
    if (!has(c, b, "quiet_platform_ms")) continue;
    std::string quiet = fmt("%.0f ms of platform time, %.0f I2C transfers", c.get(b, "quiet_platform_ms"),
                            c.get(b, "i2c_transfers_per_tune"));
    std::string loaded =
        fmt("%.0f ms, %.2fx quiet", c.get(b, "loaded_platform_ms"), c.get(b, "loaded_vs_quiet_ratio"));
    if (has(c, b, "rt_quiet_platform_ms")) {
      quiet += fmt("; from a real-time thread %.0f ms", c.get(b, "rt_quiet_platform_ms"));
      loaded += fmt("; from a real-time thread %.0f ms, %.2fx", c.get(b, "rt_loaded_platform_ms"),
                    c.get(b, "rt_loaded_vs_quiet_ratio"));
    }
    row(t.what, quiet, loaded);
  }

  auto stream = [&](const std::string& b) {
    if (!has(c, b, "lost_blocks")) return std::string("-");
    return fmt("%.0f blocks lost, %.0f Mbit/s delivered, %.1f %% of one core for the path",
               c.get(b, "lost_blocks"), c.get(b, "Mbit_per_s"), c.get(b, "cpu_path_pct"));
  };
  row("whole emulated path, 8 channels at 83 Mbit/s each for 3 s, each frame checked by its reader",
      stream("BM_StreamEightChannels/3000/0/0"), stream("BM_StreamEightChannels/3000/1/0"));
  const std::string monitored = "BM_StreamEightChannels/3000/1/1";
  if (has(c, monitored, "lost_blocks"))
    row("the same while an ordinary thread reads an I2C register without pause", "-",
        fmt("%.0f blocks lost, %.0f Mbit/s delivered, %.0f reads/s", c.get(monitored, "lost_blocks"),
            c.get(monitored, "Mbit_per_s"), c.get(monitored, "monitor_reads_per_s")));

  if (has(c, "BM_RingCopy/1", "vs_memcpy_ratio") && has(c, "BM_RingCopy/8", "vs_memcpy_ratio"))
    row("DMA DPC copy work (block into ring, frame out: each byte copied twice), 1 / 8 channels",
        fmt("%.2f / %.2f of the speed of a plain memcpy of the same bytes",
            c.get("BM_RingCopy/1", "vs_memcpy_ratio"), c.get("BM_RingCopy/8", "vs_memcpy_ratio")),
        "-");
  if (has(c, "BM_ReadRegister", "vs_plain_call_ratio"))
    row("one register read through the emulated MMIO",
        fmt("%.0f plain function calls", c.get("BM_ReadRegister", "vs_plain_call_ratio")), "-");
}

}  // namespace

int main(int argc, char** argv) {
  bool rows = false;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--readme-rows") == 0) {
      rows = true;
      for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
      --argc;
      break;
    }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Collector collector(benchmark::ConsoleReporter::OO_None);
  if (rows) collector.SetOutputStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();
  if (rows) printRows(collector);
  return 0;
}
