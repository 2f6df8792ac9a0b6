// Benchmarks of the transport-stream path and the bus access underneath, each reported against a baseline
// measured in the same run (counters named *_ratio), some quiet and under bench/load.h's load:
//   BM_RingCopy/1, /8      the DMA DPC's copy work (block into ring, frame out) vs memcpy of the same bytes
//   BM_StreamEightChannels the whole emulated path at 83 Mbit/s per channel, quiet and loaded: losses, CPU
//   BM_I2cReadRegister     one locked I2C read, quiet vs loaded, and vs a bare three-thread wake-up round
//   trip BM_ReadRegister        Device::readRegister through the emulated MMIO vs a plain function call
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "bench/load.h"
#include "hw/dma_regs.h"
#include "hw/i2c_regs.h"
#include "hw/irq_regs.h"
#include "platform/host/clock.h"
#include "platform/host/host.h"
#include "platform/host/pnp.h"
#include "platform/host/realtime.h"
#include "platform/host/user/user_host.h"
#include "platform/user.h"
#include "sim/card.h"
#include "sim/i2c_slave.h"
#include "tests/tsdma/stream_rig.h"
#include "trace/trace.h"
#include "zadivo/device.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double processCpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

// ---- (a) The DPC's copy work

// One channel's memory as the DPC sees it: the 8-block slice of the common buffer, its ring and a frame.
struct ChannelMemory {
  std::vector<UCHAR> slice = std::vector<UCHAR>(hw::dma::kSliceBytes);
  std::vector<UCHAR> ringStorage = std::vector<UCHAR>(kTsRingAllocBytes);
  std::vector<UCHAR> frame = std::vector<UCHAR>(kTsFrameBytes);
  TsRing* ring = reinterpret_cast<TsRing*>(ringStorage.data());
  ULONG block = 0;
  ChannelMemory() {
    ring->capacity = kTsRingCapacity;
    ring->read = ring->write = ring->reserved = 0;
    for (size_t i = 0; i < slice.size(); ++i) slice[i] = static_cast<UCHAR>(i * 13);
    std::memset(ring->data, 0, kTsRingCapacity);
  }
  // One DPC run for one completed block, as Device::dmaDpcChannel does it.
  void dpcRun() {
    ringWrite(ring, slice.data() + block * hw::dma::kBlockBytes, hw::dma::kBlockBytes);
    block = (block + 1) % hw::dma::kBlocksPerSlice;
    while (ringReadable(ring) >= kTsFrameBytes) ringRead(ring, frame.data(), kTsFrameBytes);
  }
};

// Processor time of the calling thread per block, for `rounds` rounds of step(channel, round) over every
// channel (processor time, so that other work on the machine does not count).
template <class Step>
double cpuNsPerBlock(size_t channels, int rounds, Step step) {
  const double t0 = threadCpuSeconds();
  for (int i = 0; i < rounds; ++i)
    for (size_t c = 0; c < channels; ++c) step(c, i);
  benchmark::ClobberMemory();
  return (threadCpuSeconds() - t0) * 1e9 / (double(rounds) * double(channels));
}

// The path against memcpy of the same bytes from the same slices into destinations of the ring's size, in
// alternation; the least disturbed run of each counts.
void BM_RingCopy(benchmark::State& state) {
  const size_t channels = static_cast<size_t>(state.range(0));
  std::vector<ChannelMemory> ch(channels);
  std::vector<std::vector<UCHAR>> dst(channels, std::vector<UCHAR>(kTsRingCapacity));
  std::vector<size_t> pos(channels, 0);
  auto path = [&](size_t c, int) { ch[c].dpcRun(); };
  auto plain = [&](size_t c, int i) {
    const ULONG b = static_cast<ULONG>(i) % hw::dma::kBlocksPerSlice;
    if (pos[c] + hw::dma::kBlockBytes > kTsRingCapacity) pos[c] = 0;
    std::memcpy(dst[c].data() + pos[c], ch[c].slice.data() + b * hw::dma::kBlockBytes, hw::dma::kBlockBytes);
    pos[c] += hw::dma::kBlockBytes;
  };
  double pathNs = 1e30, memcpyNs = 1e30;
  uint64_t blocks = 0;
  for (auto _ : state) {
    pathNs = std::min(pathNs, cpuNsPerBlock(channels, 64, path));
    memcpyNs = std::min(memcpyNs, cpuNsPerBlock(channels, 64, plain));
    blocks += 64 * channels;
  }
  benchmark::DoNotOptimize(dst[0].data());
  state.SetBytesProcessed(static_cast<int64_t>(blocks * hw::dma::kBlockBytes));
  state.counters["ns_per_block"] = pathNs;
  state.counters["memcpy_ns_per_block"] = memcpyNs;
  // Throughput of the path relative to one memcpy of the same bytes. The path copies each byte twice, the
  // second time from cache.
  state.counters["vs_memcpy_ratio"] = memcpyNs / pathNs;
}
BENCHMARK(BM_RingCopy)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);

// ---- A started card with the driver, for (b), (c) and (d)

struct Rig {
  host::PnpManager pnp;
  std::unique_ptr<sim::Card> card;
  Device* device = nullptr;
  bool ok = false;

  Rig() {
    host::trace::discard();
    ZadivoTraceLevel = 0;
    if (pnp.loadDriver(DriverEntry) != STATUS_SUCCESS) return;
    sim::CardConfig cfg;
    cfg.echoErrors = false;
    card = std::make_unique<sim::Card>(cfg);
    if (pnp.addCard(*card) != STATUS_SUCCESS || pnp.start(*card) != STATUS_SUCCESS) return;
    device = static_cast<Device*>(pnp.ksDevice(*card)->Context);
    ok = true;
  }
  ~Rig() {
    if (card) pnp.remove(*card);
  }
};

// A register file at 0x58 on the first I2C master, for (b) and (c).
class EchoSlave final : public sim::I2cSlave {
 public:
  bool start(uint8_t addr8, bool) override { return addr8 == 0x58; }
  bool writeByte(uint8_t b) override {
    reg_ = b;
    return true;
  }
  uint8_t readByte() override { return reg_++; }
  void stop() override {}

 private:
  uint8_t reg_ = 0;
};

// ---- (b) Eight channels through the whole emulated path

// A numbered source that also counts the CPU its packet generation costs (not the driver's work).
class TimedSource final : public sim::TsSource {
 public:
  TimedSource(int channel, uint64_t bitrate) : inner_(channel, bitrate) {}
  void fill(uint8_t* dst, size_t packets) override {
    const double t0 = threadCpuSeconds();
    inner_.fill(dst, packets);
    cpuNs_.fetch_add(static_cast<uint64_t>((threadCpuSeconds() - t0) * 1e9));
  }
  uint64_t bitrate() const override { return inner_.bitrate(); }
  double cpuSeconds() const { return double(cpuNs_.load()) * 1e-9; }

 private:
  tsdma_rig::SeqSource inner_;
  std::atomic<uint64_t> cpuNs_{0};
};

// The stand-in capture pin as a Windows application has it: found through SetupAPI, created with KsCreatePin,
// read by queued requests, each completing one frame.
struct RequestCapture {
  static constexpr int kDepth = 8;
  struct Read {
    KSSTREAM_HEADER header{};
    std::vector<UCHAR> buffer = std::vector<UCHAR>(kTsFrameBytes);
    OVERLAPPED ov{};
  };
  HANDLE filter = INVALID_HANDLE_VALUE, pin = nullptr;
  Read reads[kDepth];

  bool open(tsdma_rig::Capture& capture) {
    HDEVINFO set = SetupDiGetClassDevsW(&tsdma_rig::kCaptureCategory, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    std::vector<ULONG_PTR> storage(64);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage.data());
    detail->cbSize = sizeof(*detail);
    bool found = SetupDiEnumDeviceInterfaces(set, nullptr, &tsdma_rig::kCaptureCategory, 0, &data) &&
                 SetupDiGetDeviceInterfaceDetailW(
                     set, &data, detail, DWORD(storage.size() * sizeof(ULONG_PTR)), nullptr, nullptr);
    SetupDiDestroyDeviceInfoList(set);
    if (!found) return false;
    filter = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
    if (filter == INVALID_HANDLE_VALUE) return false;
    struct {
      KSPIN_CONNECT connect;
      KSDATAFORMAT format;
    } create{};
    create.connect.Interface.Set = KSINTERFACESETID_Standard;
    create.connect.Medium.Set = KSMEDIUMSETID_Standard;
    create.format = tsdma_rig::detail::makeRange();
    if (KsCreatePin(filter, &create.connect, GENERIC_READ, &pin) != ERROR_SUCCESS) return false;
    PKSPIN ks = host::user::ksPinOf(pin);
    capture.object->pin = ks;
    ks->Context = capture.object.get();
    for (auto& r : reads) r.ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!setState(KSSTATE_PAUSE)) return false;
    for (auto& r : reads)
      if (!queue(r)) return false;
    return setState(KSSTATE_RUN);
  }
  bool setState(KSSTATE state) {
    KSPROPERTY p{};
    p.Set = KSPROPSETID_Connection;
    p.Id = KSPROPERTY_CONNECTION_STATE;
    p.Flags = KSPROPERTY_TYPE_SET;
    DWORD got = 0;
    return DeviceIoControl(pin, IOCTL_KS_PROPERTY, &p, sizeof(p), &state, sizeof(state), &got, nullptr);
  }
  bool queue(Read& r) {
    r.header = KSSTREAM_HEADER{};
    r.header.Size = sizeof(r.header);
    r.header.FrameExtent = ULONG(r.buffer.size());
    r.header.Data = r.buffer.data();
    DWORD got = 0;
    return !DeviceIoControl(pin, IOCTL_KS_READ_STREAM, nullptr, 0, &r.header, sizeof(r.header), &got,
                            &r.ov) &&
           GetLastError() == ERROR_IO_PENDING;
  }
  // Completes reads in order, handing each frame on and queueing it again, until the pin stops.
  template <typename F>
  void readAll(F&& frame) {
    std::vector<UCHAR> bytes;
    for (size_t i = 0;; ++i) {
      Read& r = reads[i % kDepth];
      DWORD got = 0;
      if (!GetOverlappedResult(pin, &r.ov, &got, TRUE)) return;
      bytes.assign(r.buffer.begin(), r.buffer.begin() + r.header.DataUsed);
      frame(bytes);
      if (!queue(r)) return;
    }
  }
  void close() {
    if (pin) CloseHandle(pin);
    if (filter != INVALID_HANDLE_VALUE) CloseHandle(filter);
    for (auto& r : reads)
      if (r.ov.hEvent) CloseHandle(r.ov.hEvent);
    pin = nullptr;
    filter = INVALID_HANDLE_VALUE;
  }
};

void BM_StreamEightChannels(benchmark::State& state) {
  constexpr uint64_t kBitrate = 83000000;
  const auto streamTime = std::chrono::milliseconds(state.range(0));
  const double scale = host::clock::scale();
  host::clock::setScale(1.0);  // real time: the CPU share is per second of real streaming
  Rig rig;
  if (!rig.ok || tsdma_rig::createCaptureFactory(rig.pnp.ksDevice(*rig.card)) != STATUS_SUCCESS) {
    state.SkipWithError("card did not start");
    host::clock::setScale(scale);
    return;
  }
  std::shared_ptr<TimedSource> sources[8];
  tsdma_rig::Capture captures[8];
  RequestCapture requests[8];
  const bool byRequests = state.range(3) != 0;
  tsdma_rig::StreamCheck checks[8];
  for (int n = 0; n < 8; ++n) {
    sources[n] = std::make_shared<TimedSource>(n, kBitrate);
    rig.card->setChannelSource(n, sources[n]);
    if (byRequests ? !requests[n].open(captures[n])
                   : captures[n].open(rig.pnp.driverObject()) != STATUS_SUCCESS) {
      state.SkipWithError("capture pin did not open");
      host::clock::setScale(scale);
      return;
    }
    checks[n].channel = n;
  }
  EchoSlave slave;
  rig.card->i2cBus(0).addSlave(&slave);
  bench::SpinLoad load(state.range(1) != 0);
  for (auto _ : state) {
    std::atomic<bool> stop{false};
    double checkCpu[8] = {};
    std::vector<std::thread> readers;
    // An ordinary thread reading a register all the while: its transfers share the card with the DPCs.
    std::atomic<uint64_t> monitorReads{0};
    std::thread monitor([&] {
      while (state.range(2) && !stop.load()) {
        UCHAR out = 0;
        rig.device->i2cReadRegister(hw::i2c::kMasterBase[0], 0x58, 0x10, &out, 1);
        ++monitorReads;
      }
    });
    const uint64_t demotions0 = host::realtime::demotions();
    const double cpu0 = processCpuSeconds() - load.cpuSeconds();
    const auto t0 = Clock::now();
    for (int n = 0; n < 8; ++n) captures[n].start(rig.device, n);
    for (int n = 0; n < 8; ++n)
      readers.emplace_back([&, n] {
        if (byRequests) {
          requests[n].readAll([&](const std::vector<UCHAR>& frame) {
            const double c0 = threadCpuSeconds();
            checks[n].frame(frame);
            checkCpu[n] += threadCpuSeconds() - c0;
          });
          return;
        }
        std::vector<UCHAR> frame;
        while (!stop.load()) {
          if (captures[n].pin->readFrame(frame, std::chrono::milliseconds(50)) != STATUS_SUCCESS) continue;
          const double c0 = threadCpuSeconds();
          checks[n].frame(frame);
          checkCpu[n] += threadCpuSeconds() - c0;
        }
      });
    std::this_thread::sleep_for(streamTime);
    const double wall = seconds(Clock::now() - t0);
    const double cpu = processCpuSeconds() - load.cpuSeconds() - cpu0;
    for (int n = 0; n < 8; ++n) rig.device->stopTS(hw::dma::kBlockBase[n]);
    stop = true;
    // A stopped pin completes its queued reads as cancelled, which ends its reader.
    for (int n = 0; byRequests && n < 8; ++n) requests[n].setState(KSSTATE_STOP);
    for (auto& t : readers) t.join();
    monitor.join();

    double sourceCpu = 0, checkerCpu = 0;
    uint64_t blocks = 0, lost = 0, packets = 0, faults = 0;
    for (int n = 0; n < 8; ++n) {
      sourceCpu += sources[n]->cpuSeconds();
      checkerCpu += checkCpu[n];
      blocks += rig.card->dmaStats(n).blocks;
      lost += checks[n].lostPackets;
      packets += checks[n].packets;
      faults += checks[n].faults.size();
    }
    state.counters["blocks"] = double(blocks);
    state.counters["lost_blocks"] = double(lost / tsdma_rig::kPacketsPerBlock);
    state.counters["faults"] = double(faults);
    state.counters["Mbit_per_s"] = double(packets) * 188 * 8 / wall / 1e6;
    state.counters["cpu_total_pct"] = 100 * cpu / wall;
    state.counters["cpu_source_pct"] = 100 * sourceCpu / wall;    // packet generation in the card model
    state.counters["cpu_checker_pct"] = 100 * checkerCpu / wall;  // the benchmark's byte-by-byte check
    state.counters["cpu_path_pct"] = 100 * (cpu - sourceCpu - checkerCpu) / wall;
    state.counters["monitor_reads_per_s"] = double(monitorReads.load()) / wall;
    state.counters["watchdog_demotions"] = double(host::realtime::demotions() - demotions0);
  }
  for (auto& r : requests) r.close();
  for (auto& c : captures) c.close();
  rig.card->i2cBus(0).removeSlave(&slave);
  host::clock::setScale(scale);
}
// Arguments: stream time in ms; 1 to stream under the spinning load; 1 to read registers meanwhile (the
// path's processor share then includes the reads' interrupts and DPCs); 1 to read by an application's queued
// requests instead of the allocator's frames (the baseline beside it).
BENCHMARK(BM_StreamEightChannels)
    ->Args({3000, 0, 0, 0})
    ->Args({3000, 0, 0, 1})
    ->Args({3000, 1, 0, 0})
    ->Args({3000, 1, 1, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// ---- (c) One locked I2C operation vs a three-thread wake-up round trip

// A wakes B wakes C wakes A, with the platform's events; ns per round trip.
double threeThreadRoundTripNs(int rounds) {
  KEVENT ev[3];
  for (auto& e : ev) KeInitializeEvent(&e, SynchronizationEvent, FALSE);
  std::atomic<bool> quit{false};
  auto relay = [&](int from, int to) {
    while (true) {
      KeWaitForSingleObject(&ev[from], Executive, KernelMode, FALSE, nullptr);
      if (quit.load()) return;
      KeSetEvent(&ev[to], 0, FALSE);
    }
  };
  std::thread b(relay, 1, 2), c(relay, 2, 0);
  for (int i = 0; i < 100; ++i) {  // warm-up
    KeSetEvent(&ev[1], 0, FALSE);
    KeWaitForSingleObject(&ev[0], Executive, KernelMode, FALSE, nullptr);
  }
  const auto t0 = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    KeSetEvent(&ev[1], 0, FALSE);
    KeWaitForSingleObject(&ev[0], Executive, KernelMode, FALSE, nullptr);
  }
  const double ns = seconds(Clock::now() - t0) * 1e9 / rounds;
  quit = true;
  KeSetEvent(&ev[1], 0, FALSE);
  KeSetEvent(&ev[2], 0, FALSE);
  b.join();
  c.join();
  return ns;
}

void BM_ThreeThreadRoundTrip(benchmark::State& state) {
  for (auto _ : state) state.counters["ns_per_round_trip"] = threeThreadRoundTripNs(5000);
}
BENCHMARK(BM_ThreeThreadRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond);

// Mean ns of one locked register read over `ops` reads.
double i2cReadNs(Device* device, int ops, uint64_t& failures) {
  const auto t0 = Clock::now();
  for (int i = 0; i < ops; ++i) {
    UCHAR out = 0;
    if (!device->i2cReadRegister(hw::i2c::kMasterBase[0], 0x58, 0x10, &out, 1)) ++failures;
    benchmark::DoNotOptimize(out);
  }
  return seconds(Clock::now() - t0) * 1e9 / ops;
}

// Quiet and loaded in alternation, from an ordinary calling thread (what a tuning application is) and from a
// real-time one (which leaves only the emulation's interrupt, DPC and wake-up path to the load).
void BM_I2cReadRegister(benchmark::State& state) {
  constexpr int kRounds = 4, kOps = 1000;
  Rig rig;
  if (!rig.ok) {
    state.SkipWithError("card did not start");
    return;
  }
  EchoSlave slave;
  rig.card->i2cBus(0).addSlave(&slave);
  const double baseline = threeThreadRoundTripNs(5000);
  uint64_t failures = 0;
  double quiet = 0, loaded = 0, rtQuiet = 0, rtLoaded = 0;
  bool rt = true;
  auto realtime = [&] {
    bench::RealtimeCaller caller;
    rt = rt && caller.ok();
    return i2cReadNs(rig.device, kOps, failures) / kRounds;
  };
  for (auto _ : state) {
    i2cReadNs(rig.device, kOps / 4, failures);  // warm-up
    for (int r = 0; r < kRounds; ++r) {
      quiet += i2cReadNs(rig.device, kOps, failures) / kRounds;
      rtQuiet += realtime();
      bench::SpinLoad load(true);
      loaded += i2cReadNs(rig.device, kOps, failures) / kRounds;
      rtLoaded += realtime();
    }
  }
  rig.card->i2cBus(0).removeSlave(&slave);
  state.counters["failures"] = double(failures);
  state.counters["quiet_ns_per_op"] = quiet;
  state.counters["loaded_ns_per_op"] = loaded;
  state.counters["round_trip_ns"] = baseline;
  state.counters["vs_round_trip_ratio"] = quiet / baseline;
  state.counters["loaded_vs_quiet_ratio"] = loaded / quiet;
  if (rt) {
    state.counters["rt_quiet_ns_per_op"] = rtQuiet;
    state.counters["rt_loaded_ns_per_op"] = rtLoaded;
    state.counters["rt_loaded_vs_quiet_ratio"] = rtLoaded / rtQuiet;
  }
}
BENCHMARK(BM_I2cReadRegister)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- (d) Register access through the emulated window vs a plain call

volatile ULONG gPlainRegister = 1;
__attribute__((noinline)) ULONG plainRead(ULONG address) { return gPlainRegister + (address & 0); }

double plainCallNs(int rounds) {
  ULONG sum = 0;
  const auto t0 = Clock::now();
  for (int i = 0; i < rounds; ++i) sum += plainRead(hw::irq::kMasterEnable);
  benchmark::DoNotOptimize(sum);
  return seconds(Clock::now() - t0) * 1e9 / rounds;
}

void BM_PlainCall(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(plainRead(hw::irq::kMasterEnable));
}
BENCHMARK(BM_PlainCall);

void BM_ReadRegister(benchmark::State& state) {
  Rig rig;
  if (!rig.ok) {
    state.SkipWithError("card did not start");
    return;
  }
  const double baseline = plainCallNs(2000000);
  uint64_t ops = 0;
  const auto t0 = Clock::now();
  for (auto _ : state) {
    benchmark::DoNotOptimize(rig.device->readRegister(hw::irq::kMasterEnable));
    ++ops;
  }
  const double ns = seconds(Clock::now() - t0) * 1e9 / double(ops);
  state.counters["ns_per_read"] = ns;
  state.counters["plain_call_ns"] = baseline;
  state.counters["vs_plain_call_ratio"] = ns / baseline;
}
BENCHMARK(BM_ReadRegister);

}  // namespace
