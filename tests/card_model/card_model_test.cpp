// The card model against the driver's own sequences, one standard per parameter: what a tune, a re-tune and a
// sleep leave behind is what the chip needs (no fault, no unknown write, the stream at the channel's rate),
// and a tune whose writes are corrupted one at a time on the bus (one data bit flipped) is noticed.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "demod/sony_demod.h"
#include "platform/host/clock.h"
#include "platform/host/host.h"
#include "tools/machine.h"
#include "trace/trace.h"
#include "zadivo/sony_cxd6802/sony_cxd6802.h"
#include "zadivo/tuner_demod_objects.h"

namespace {

struct Channel {
  ULONG frequencyKHz;
  ULONG symbolRateKSps;
  UCHAR bandwidthMHz;
  LONG streamId;
};

struct Standard {
  const char* name;
  DemodMode mode;
  sim::DeliverySystem system;
  Channel tune, retune;
  int unnoticed;  // corrupted writes of the tune that leave nothing to notice, at most (see below)
};

// ctest's test list shows the standard, not the row's bytes.
void PrintTo(const Standard& s, std::ostream* os) { *os << s.name; }

std::string nameOf(const ::testing::TestParamInfo<Standard>& i) {
  std::string n = i.param.name;
  for (char& c : n)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
}

// What a corrupted write may leave unnoticeable: the bank selection before the stream output's 0xA9 read (the
// wrong bank reads 0 as well, and bank 0 is selected again before 0xC3 is written); DVB-C2's 0x20:0xC2 and
// timing rate written by its wake-up and written again by the preset release right after; the tuner's 0x74
// bit 4, which the block before left and the next block overwrites.
// clang-format off
const Standard kStandards[] = {
    {"DVB-T", DEMOD_MODE_DVBT, sim::DeliverySystem::DVBT, {474000, 0, 8, 0}, {177500, 0, 7, 0}, 1},
    {"DVB-T2", DEMOD_MODE_DVBT2, sim::DeliverySystem::DVBT2, {538000, 0, 8, 1}, {650000, 0, 7, 0}, 1},
    {"DVB-C", DEMOD_MODE_DVBC, sim::DeliverySystem::DVBC_ANNEX_A, {346000, 6900, 8, 0}, {346000, 6900, 8, 0}, 1},
    {"DVB-C2", DEMOD_MODE_DVBC2, sim::DeliverySystem::DVBC2, {714000, 0, 8, 0}, {714000, 0, 8, 0}, 3},
    {"J.83B", DEMOD_MODE_J83B, sim::DeliverySystem::DVBC_ANNEX_B, {555000, 5360, 6, 0}, {555000, 5360, 6, 0}, 1},
    {"ISDB-T", DEMOD_MODE_ISDBT, sim::DeliverySystem::ISDBT, {563143, 0, 6, 0}, {563143, 0, 6, 0}, 1},
    {"ISDB-C", DEMOD_MODE_ISDBC, sim::DeliverySystem::ISDBC, {375000, 5274, 6, 1}, {375000, 5274, 6, 2}, 2},
    {"ATSC", DEMOD_MODE_ATSC, sim::DeliverySystem::ATSC, {575000, 0, 6, 0}, {575000, 0, 6, 0}, 1},
};
// clang-format on

class OnCard : public ::testing::Test {
 protected:
  void SetUp() override {
    host::trace::capture();  // the driver's traces stay out of the test output
    host::setAssertHandler([](const char* report) { ADD_FAILURE() << report; });
    ASSERT_EQ(machine.startAll(), STATUS_SUCCESS);
    device = static_cast<Device*>(machine.pnp().ksDevice(machine.card(0))->Context);
    ASSERT_NE(device, nullptr);
    path = new CDVBTDemod(1);
    path->setDevice(device);
  }
  void TearDown() override {
    bus().setWriteCorruption({});
    delete path;
    host::setAssertHandler({});
    host::trace::clear();
    host::clock::setScale(savedScale);
  }

  sim::I2cBus& bus() { return machine.card(0).i2cBus(0); }
  sim::DemodModel& demod() { return machine.frontEnds(0).demod(1); }
  sim::TunerModel& tuner() { return machine.frontEnds(0).tuner(1); }
  // Resets every demodulator of the card and brings path 1 up, as start-up does (its tuner from power-on).
  void powerUp() {
    tuner().powerOn();
    ULONG ok = 0;
    path->apiInitEnvironment(&ok);
    ASSERT_EQ(ok, 1u);
  }
  ULONG tune(const Channel& c, DemodMode mode) {
    return cxd6802_Tune(path->demodPath(), c.frequencyKHz, c.symbolRateKSps, c.bandwidthMHz, c.streamId,
                        mode);
  }
  DemodResult sleep() {
    DemodPath* p = path->demodPath();
    KeWaitForSingleObject(&p->lock, Executive, KernelMode, FALSE, nullptr);
    DemodResult r = sony_demod_Sleep(p->integ.p_demod);
    KeReleaseMutex(&p->lock, FALSE);
    return r;
  }
  uint64_t unknownWrites() { return demod().unknownWrites() + tuner().unknownWrites(); }
  std::string unknownLog() {
    std::string s;
    for (const auto& l : demod().unknownWriteLog()) s += l + "\n";
    for (const auto& l : tuner().unknownWriteLog()) s += l + "\n";
    return s;
  }

  double savedScale = host::clock::scale();
  zadivo::Machine machine;
  Device* device = nullptr;
  CDVBTDemod* path = nullptr;
};

// At real time the machine is fast enough that only the driver's own waits separate the steps that need time
// (core power-up, clock start, tuner power-on and PLL): none of them may come too early.
TEST_F(OnCard, StepsThatNeedTimeGetIt) {
  host::clock::setScale(1);
  powerUp();
  EXPECT_EQ(demod().fault(), "");
  EXPECT_EQ(tune({474000, 0, 8, 0}, DEMOD_MODE_DVBT), 1u) << demod().fault();
  EXPECT_EQ(demod().fault(), "");
}

class CardModel : public OnCard, public ::testing::WithParamInterface<Standard> {
 protected:
  ULONG tune(const Channel& c) { return OnCard::tune(c, GetParam().mode); }
  // Nothing for the model to object to.
  void expectClean(const char* step) {
    SCOPED_TRACE(step);
    EXPECT_EQ(demod().fault(), "");
    EXPECT_EQ(demod().unknownWrites(GetParam().system), 0u) << unknownLog();
    EXPECT_EQ(unknownWrites(), 0u) << unknownLog();
  }
};

TEST_P(CardModel, TuneRetuneAndSleepLeaveTheChipAsItNeedsToBe) {
  powerUp();
  ASSERT_EQ(tune(GetParam().tune), 1u) << demod().fault();
  expectClean("tune");
  std::shared_ptr<sim::TsSource> stream = demod().stream();
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->bitrate(), demod().lockedMultiplex()->bitrate);

  ASSERT_EQ(tune(GetParam().retune), 1u) << demod().fault();
  expectClean("re-tune");
  ASSERT_NE(demod().stream(), nullptr);

  ASSERT_EQ(sleep(), DEMOD_OK);
  EXPECT_EQ(demod().state(), sim::DemodModel::State::Sleep);
  expectClean("sleep");
  EXPECT_EQ(demod().stream(), nullptr);
}

// Writes of the tune, from its first to the one that switches the stream output on (main 0xC3 = 0), each
// corrupted in turn: bit (k mod 8) of its last data byte flipped. A corruption is noticed when the model
// reports a fault or an unknown write, or the channel does not lock.
TEST_P(CardModel, CorruptedWritesOfTheTuneAreNoticed) {
  host::clock::setScale(0.002);  // failing lock waits run their whole length
  powerUp();
  std::mutex m;
  std::map<uint64_t, int> lastPosition;  // write transfer -> position of its last byte
  uint64_t end = 0;
  uint8_t prev = 0;
  std::vector<std::string> lines;  // the clean tune's write transfers on path 1's master, as the bus saw them
  machine.card(0).setI2cTraceSink([&](const std::string& l) {
    std::lock_guard g(m);
    if (l.rfind("0x4000 ", 0) == 0 && l.find(" w") == 11) lines.push_back(l.substr(0, l.find('\n')));
  });
  bus().setWriteCorruption([&](uint64_t transfer, int position, uint8_t byte) {
    std::lock_guard g(m);
    lastPosition[transfer] = position;
    if (position == 1 && prev == 0xC3 && byte == 0x00 && !end) end = transfer + 1;
    prev = byte;
    return byte;
  });
  ASSERT_EQ(tune(GetParam().tune), 1u) << demod().fault();
  bus().setWriteCorruption({});
  machine.card(0).setI2cTraceSink({});
  ASSERT_GT(end, 0u);
  ASSERT_GE(lines.size(), end);

  int writes = 0, noticed = 0;
  std::string missed;
  for (uint64_t k = 0; k < end; ++k) {
    const int last = lastPosition[k];
    if (last < 1) continue;  // a sub-address for a read: no data
    powerUp();
    bus().setWriteCorruption([k, last](uint64_t transfer, int position, uint8_t byte) {
      return transfer == k && position == last ? static_cast<uint8_t>(byte ^ (1u << (k % 8))) : byte;
    });
    const ULONG locked = tune(GetParam().tune);
    bus().setWriteCorruption({});
    ++writes;
    if (locked != 1 || !demod().fault().empty() || unknownWrites() != 0) {
      ++noticed;
    } else {
      missed += lines[k] + " (bit " + std::to_string(k % 8) + ")\n";
    }
  }
  std::printf("%s: %d of %d corrupted writes noticed\n%s", GetParam().name, noticed, writes, missed.c_str());
  RecordProperty("writes", writes);
  RecordProperty("noticed", noticed);
  EXPECT_LE(writes - noticed, GetParam().unnoticed) << missed;
}

INSTANTIATE_TEST_SUITE_P(EveryStandard, CardModel, ::testing::ValuesIn(kStandards), nameOf);

}  // namespace
