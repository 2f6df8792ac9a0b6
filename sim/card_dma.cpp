// The card's transport-stream DMA engine: one pacing thread for all eight channels. A channel runs while
// its control register is 1, its enable is set, it has a source and no fault stopped it; every block
// period (block length at the source's bitrate, platform time) it writes one block at the programmed bus
// address, advances its block counter and raises its status bit.
#include <algorithm>
#include <cinttypes>
#include <climits>

#include "hw/dma_regs.h"
#include "hw/irq_regs.h"
#include "platform/host/clock.h"
#include "sim/card.h"

namespace sim {
namespace {
// A thread that fell this many periods behind restarts its schedule instead of bursting.
constexpr int64_t kMaxBacklogBlocks = 8;
}  // namespace

int64_t Card::periodNs(const DmaChannel& c) {
  uint64_t bps = c.source ? c.source->bitrate() : 0;
  if (bps == 0) return 0;
  __int128 ns = static_cast<__int128>(c.blockLength) * 8 * 1000000000 / bps;
  return std::max<int64_t>(1, static_cast<int64_t>(std::min<__int128>(ns, INT64_MAX / 4)));
}

bool Card::dmaActive_locked(const DmaChannel& c) const { return (c.control & 1) && c.enabled && !c.faulted; }

void Card::restartPacing_locked(DmaChannel& c) {
  c.nextDueNs = 0;
  ++dmaGeneration_;
  dmaCv_.notify_all();
}

void Card::dmaControlWrite_locked(int n, uint32_t value) {
  DmaChannel& c = dma_[n];
  bool was = c.control & 1;
  c.control = value & 1;
  if (!was && c.control) {
    c.counter = 0;
    c.faulted = false;
    ++c.epoch;
  }
  restartPacing_locked(c);
}

void Card::dmaEnableWrite_locked(int n, bool on) {
  DmaChannel& c = dma_[n];
  if (c.enabled == on) return;
  c.enabled = on;
  restartPacing_locked(c);
}

void Card::waitDmaIdle_locked(std::unique_lock<host::realtime::Mutex>& lk, int n) {
  if (std::this_thread::get_id() == dmaThread_.get_id()) return;
  dmaIdleCv_.wait(lk, [&] { return !dma_[n].inFlight; });
}

void Card::setChannelSource(int n, std::shared_ptr<TsSource> source) {
  if (n < 0 || n >= hw::dma::kChannels) return;
  std::lock_guard<host::realtime::Mutex> g(m_);
  dma_[n].source = std::move(source);
  restartPacing_locked(dma_[n]);
}

void Card::stallDmaChannel(int n, bool stalled) {
  if (n < 0 || n >= hw::dma::kChannels) return;
  std::lock_guard<host::realtime::Mutex> g(m_);
  dma_[n].stalled = stalled;
  restartPacing_locked(dma_[n]);
}

DmaChannelStats Card::dmaStats(int n) const {
  std::lock_guard<host::realtime::Mutex> g(m_);
  DmaChannelStats s = dma_.at(static_cast<size_t>(n)).stats;
  s.running = dmaActive_locked(dma_[n]);
  return s;
}

void Card::deliverBlock(std::unique_lock<host::realtime::Mutex>& lk, int n, int64_t period) {
  DmaChannel& c = dma_[n];
  const uint32_t blockLen = c.blockLength;
  const uint32_t blocks = blockLen ? c.bufLength / blockLen : 0;
  if (blockLen < kTsPacket || blocks == 0 || blockLen > hw::dma::kCommonBufferBytes) {
    char b[128];
    std::snprintf(b, sizeof b, "dma channel %d misprogrammed: buffer length 0x%x, block length 0x%x", n,
                  c.bufLength, blockLen);
    error_locked(b);
    c.faulted = true;
    return;
  }
  const uint32_t k = c.counter % blocks;
  const uint64_t addr = ((uint64_t{c.addrHigh} << 32) | c.addrLow) + uint64_t{k} * blockLen;
  const size_t packets = blockLen / kTsPacket;
  std::shared_ptr<TsSource> src = c.source;
  host::HostBus* bus = bus_;
  const uint64_t epoch = c.epoch;
  c.inFlight = true;
  std::vector<uint8_t> block;
  block.swap(c.block);
  lk.unlock();

  block.resize(blockLen);
  src->fill(block.data(), packets);
  std::fill(block.begin() + static_cast<std::ptrdiff_t>(packets * kTsPacket), block.end(), 0xFF);
  const bool ok = bus && bus->dmaWrite(addr, block.data(), blockLen);

  lk.lock();
  c.block.swap(block);
  c.inFlight = false;
  dmaIdleCv_.notify_all();
  if (!ok) {
    char b[128];
    if (bus)
      std::snprintf(b, sizeof b, "dma to bus address 0x%" PRIx64 " not in a live buffer (channel %d)", addr,
                    n);
    else
      std::snprintf(b, sizeof b, "dma channel %d running with no host attached", n);
    error_locked(b);
    ++c.stats.errors;
    c.faulted = true;
    return;
  }
  // A block that landed completes even if the channel was stopped meanwhile (a stop takes effect at the block
  // boundary); after a restart it belongs to the old run and is forgotten.
  if (epoch != c.epoch) return;
  c.counter = (k + 1) % blocks;
  ++c.stats.blocks;
  c.stats.packets += packets;
  status_ |= hw::irq::kDmaBit(n);
  const int64_t now = host::clock::nowNs();
  c.nextDueNs += period;
  if (c.nextDueNs < now - kMaxBacklogBlocks * period) c.nextDueNs = now + period;
  lk.unlock();
  updateLine();
  lk.lock();
}

// The engine runs beside the processors: its thread ranks above everything the machine runs.
void Card::dmaThread() {
  host::realtime::enter(host::realtime::Rank::Card);
  std::unique_lock<host::realtime::Mutex> lk(m_);
  while (!quit_) {
    const int64_t now = host::clock::nowNs();
    int64_t earliest = INT64_MAX;
    int due = -1;
    int64_t duePeriod = 0;
    // Earliest deadline first, so that an overloaded engine slows every channel alike.
    for (int n = 0; n < hw::dma::kChannels; ++n) {
      DmaChannel& c = dma_[n];
      if (!dmaActive_locked(c) || c.stalled || !c.source) continue;
      int64_t period = periodNs(c);
      if (period == 0) continue;
      if (c.nextDueNs == 0) c.nextDueNs = now + period;
      if (c.nextDueNs < earliest) {
        earliest = c.nextDueNs;
        due = n;
        duePeriod = period;
      }
    }
    if (earliest > now) due = -1;
    if (due >= 0) {
      deliverBlock(lk, due, duePeriod);
      continue;
    }
    const uint64_t gen = dmaGeneration_;
    auto changed = [&] { return quit_ || dmaGeneration_ != gen; };
    if (earliest == INT64_MAX)
      dmaCv_.wait(lk, changed);
    else
      while (!changed() && host::clock::nowNs() < earliest)
        dmaCv_.wait_until(lk, host::clock::realPointOf(earliest));
  }
  lk.unlock();
  host::realtime::leave();
}

}  // namespace sim
