// End to end through the client on every channel: tune a DVB-T multiplex, run the capture pin, read frames of
// the multiplex's own stream; statistics; stop releases the DMA and the clock; re-tuning while running; all
// eight channels at once; the TS output pin's state, clock and intersection rules. Only the public interface:
// the suite runs on the Windows image too.
#include <atomic>
#include <cstring>

#include "capture_fixture.h"

using namespace capture_test;

namespace {

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

constexpr ULONG kMuxOne = 474000, kMuxTwo = 506000;

class EveryChannel : public Capture, public ::testing::WithParamInterface<ULONG> {};

TEST_P(EveryChannel, TunesRunsAndDeliversTheMultiplexThenStopReleasesDmaAndClock) {
  const ULONG channel = GetParam();
  const int dma = static_cast<int>(channel) - 1;
  Graph& g = graph(channel);
  // Statistics of the locked channel, before its stream runs (see the I2C note in the report).
  ASSERT_EQ(g.antenna->setState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(tune(g, kMuxOne, 8), STATUS_SUCCESS);
  ASSERT_TRUE(waitLocked(g));
  EXPECT_EQ(getValue(*g.antenna, 0, kStats, KSPROPERTY_BDA_SIGNAL_PRESENT), 1u);
  EXPECT_EQ(getValue(*g.transport, 1, kStats, KSPROPERTY_BDA_SIGNAL_LOCKED), 1u);
  EXPECT_NE(getValue(*g.antenna, 0, kStats, KSPROPERTY_BDA_SIGNAL_STRENGTH), 0u);
  EXPECT_GT(getValue(*g.transport, 1, kStats, KSPROPERTY_BDA_SIGNAL_QUALITY),
            20u);  // above the unlocked figure

  host::trace::clear();
  tuneAndRun(g, kMuxOne, 8);
  EXPECT_TRUE(machine->card(0).dmaStats(dma).running);
  for (int n = 0; n < 8; ++n) {
    if (n == dma) continue;
    EXPECT_FALSE(machine->card(0).dmaStats(n).running) << "channel " << n;
  }
  EXPECT_NE(traces().find("startTS" + std::to_string(dma) + " "), std::string::npos);
  EXPECT_EQ(host::ks::outstandingClockReferences(), 1u);

  TsCheck check;
  readFrames(g, 6, check);
  EXPECT_EQ(check.badFrames, 0u);
  EXPECT_EQ(check.syncLosses, 0u);
  EXPECT_EQ(check.ccErrors, 0u);
  EXPECT_EQ(check.tsids, std::set<int>{tsidAt(kMuxOne)});
  EXPECT_TRUE(check.pmtSeen);

  ASSERT_EQ(g.output->setState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_FALSE(machine->card(0).dmaStats(dma).running);
  EXPECT_EQ(host::ks::outstandingClockReferences(), 0u);
  EXPECT_TRUE(machine->card(0).errors().empty());
}

INSTANTIATE_TEST_SUITE_P(AtoH, EveryChannel, ::testing::Range<ULONG>(1, 9),
                         [](const auto& info) { return std::string(1, char('A' + info.param - 1)); });

// The order a BDA application uses: antenna to ACQUIRE, one transaction, commit, then the graph to RUN. The
// filter still sees STOP at the commit, so the tune waits for the antenna pin's next move instead of being
// lost.
TEST_F(Capture, CommitRightAfterAcquireIsTunedWhenTheGraphRuns) {
  Graph& g = graph(3);
  ASSERT_EQ(g.antenna->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(tune(g, kMuxTwo, 8), STATUS_SUCCESS);
  EXPECT_EQ(traces().find("BDATuner:updateResources"), std::string::npos)
      << "no tune while the filter sees STOP";
  ASSERT_EQ(g.antenna->setState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(g.transport->setState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(g.input->setState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(g.output->setState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(countOf(traces(), "BDATuner:updateResources"), 1u) << "one tune, at ACQUIRE to PAUSE";
  ASSERT_TRUE(waitLocked(g));
  TsCheck check;
  readStreamOf(g, tsidAt(kMuxTwo), 4, check);
  EXPECT_EQ(check.ccErrors, 0u);
  EXPECT_TRUE(check.pmtSeen);
}

TEST_F(Capture, RetuningWhileRunningSwitchesTheStream) {
  Graph& g = graph(3);
  tuneAndRun(g, kMuxOne, 8);
  TsCheck before;
  readStreamOf(g, tsidAt(kMuxOne), 2, before);
  ASSERT_EQ(tune(g, kMuxTwo, 8), STATUS_SUCCESS);
  ASSERT_TRUE(waitLocked(g));
  TsCheck after;
  readStreamOf(g, tsidAt(kMuxTwo), 4, after);
  EXPECT_EQ(after.tsids, std::set<int>{tsidAt(kMuxTwo)});
  EXPECT_TRUE(after.pmtSeen);
  EXPECT_EQ(after.ccErrors, 0u);
  EXPECT_EQ(after.syncLosses, 0u);
}

TEST_F(Capture, AllEightChannelsAtOnceWithoutCollisionsOnTheSharedMasters) {
  std::vector<Graph*> gs;
  for (ULONG c = 1; c <= 8; ++c) gs.push_back(&graph(c));
  std::vector<TsCheck> checks(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&, i] {
      tuneAndRun(*gs[i], i % 2 ? kMuxTwo : kMuxOne, 8);
      readFrames(*gs[i], 4, checks[i]);
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE("channel " + std::to_string(i + 1));
    EXPECT_EQ(checks[i].frames, 4u);
    EXPECT_EQ(checks[i].ccErrors, 0u);
    EXPECT_EQ(checks[i].syncLosses, 0u);
    EXPECT_EQ(checks[i].tsids, std::set<int>{tsidAt(i % 2 ? kMuxTwo : kMuxOne)});
  }
  for (int k = 0; k < 4; ++k) EXPECT_EQ(machine->card(0).i2cBus(k).collisions(), 0u) << "master " << k;
  EXPECT_TRUE(machine->card(0).errors().empty());
}

// An application that changes channel by stopping and starting: nothing the old multiplex left in the ring
// or in frames never read comes out after the start. Every packet carries its multiplex's id.
TEST_F(Capture, AStartAfterARetuneDeliversOnlyTheNewMultiplex) {
  struct Marked final : sim::TsSource {
    Marked(uint16_t id, uint64_t bps) : id(id), bps(bps) {}
    void fill(uint8_t* dst, size_t packets) override {
      for (size_t i = 0; i < packets; ++i, dst += 188) {
        std::memset(dst, 0, 188);
        dst[0] = 0x47, dst[1] = 0x01, dst[3] = static_cast<uint8_t>(0x10 | (cc++ & 0x0F));
        dst[4] = static_cast<uint8_t>(id >> 8), dst[5] = static_cast<uint8_t>(id);
      }
    }
    uint64_t bitrate() const override { return bps; }
    const uint16_t id;
    const uint64_t bps;
    unsigned cc = 0;
  };
  machine->air().setSourceFactory([](const sim::Multiplex& m, uint32_t) {
    return std::make_unique<Marked>(m.transportStreamId, m.bitrate);
  });
  Graph& g = graph(2);
  tuneAndRun(g, kMuxOne, 8);
  std::vector<UCHAR> frame;
  ASSERT_EQ(g.output->readFrame(frame, std::chrono::seconds(20)), STATUS_SUCCESS);
  // Stopped mid-stream, with frames delivered and unread and a block in the ring.
  const uint64_t blocks = machine->card(0).dmaStats(1).blocks;
  for (int i = 0; i < 2000 && machine->card(0).dmaStats(1).blocks < blocks + 5; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(g.output->setState(KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(tune(g, kMuxTwo, 8), STATUS_SUCCESS);
  ASSERT_TRUE(waitLocked(g));
  ASSERT_EQ(g.output->setState(KSSTATE_RUN), STATUS_SUCCESS);
  const int fresh = tsidAt(kMuxTwo);
  size_t stale = 0;
  for (int f = 0; f < 3; ++f) {
    ASSERT_EQ(g.output->readFrame(frame, std::chrono::seconds(20)), STATUS_SUCCESS);
    for (size_t off = 0; off + 188 <= frame.size(); off += 188)
      stale += (frame[off + 4] << 8 | frame[off + 5]) != fresh;
  }
  EXPECT_EQ(stale, 0u) << "packets of the multiplex tuned before the start";
}

// ---- TS output pin ---------------------------------------------------------------------------------------

TEST_F(Capture, PauseRunPauseStartsAndStopsTheChannelOnceEach) {
  Graph& g = graph(5);
  ASSERT_EQ(g.output->setState(KSSTATE_PAUSE), STATUS_SUCCESS);
  host::trace::clear();
  ASSERT_EQ(g.output->setState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_TRUE(machine->card(0).dmaStats(4).running);
  ASSERT_EQ(g.output->setState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_FALSE(machine->card(0).dmaStats(4).running);
  const std::string t = traces();
  EXPECT_EQ(count(t, "startTS4 "), 1u);
  EXPECT_EQ(count(t, "startTS"), 1u);
  EXPECT_EQ(count(t, "stopTS"), 1u);
  EXPECT_EQ(count(t, "TSOutputPin_E::setState"), 2u);
}

// A second capture filter on a streaming channel would take the stream over and starve the first: its RUN is
// refused, and its walk back to STOP leaves the first one's stream running and whole.
TEST_F(Capture, ASecondCaptureFilterOfAStreamingChannelIsRefusedAndStopsNothing) {
  Graph& g = graph(4);
  tuneAndRun(g, kMuxOne, 8);
  TsCheck first;
  readFrames(g, 1, first);
  const auto registered = captures();
  const host::client::FilterInfo* info = host::client::findCaptureFor(g.medium, registered);
  ASSERT_NE(info, nullptr);
  std::unique_ptr<host::client::Filter> second;
  std::unique_ptr<host::client::Pin> input, output;
  ASSERT_EQ(host::client::Filter::open(*info, second), STATUS_SUCCESS);
  ASSERT_EQ(second->createPin(0, nullptr, 0, input), STATUS_SUCCESS);
  ASSERT_EQ(second->createPin(1, nullptr, 0, output), STATUS_SUCCESS);
  EXPECT_EQ(output->setState(KSSTATE_RUN), STATUS_DEVICE_BUSY);
  EXPECT_EQ(output->setState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(output->close(), STATUS_SUCCESS);
  EXPECT_EQ(input->close(), STATUS_SUCCESS);
  EXPECT_EQ(second->close(), STATUS_SUCCESS);
  EXPECT_TRUE(machine->card(0).dmaStats(3).running);
  TsCheck after;
  readFrames(g, 4, after);
  EXPECT_EQ(after.badFrames, 0u);
  EXPECT_EQ(after.ccErrors, 0u);
  EXPECT_EQ(after.tsids, std::set<int>{tsidAt(kMuxOne)});
}

TEST_F(Capture, StopFromAcquireStopsTheChannelAndDropsTheClock) {
  Graph& g = graph(1);
  ASSERT_EQ(g.output->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(host::ks::outstandingClockReferences(), 1u);
  host::trace::clear();
  ASSERT_EQ(g.output->setState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(count(traces(), "stopTS"), 1u);
  EXPECT_EQ(host::ks::outstandingClockReferences(), 0u);
}

TEST_F(Capture, ClosingARunningGraphStopsItsChannelAndLeavesNothingBehind) {
  Graph& g = graph(2);
  tuneAndRun(g, kMuxOne, 8);
  TsCheck check;
  readFrames(g, 1, check);
  g.close();
  EXPECT_FALSE(machine->card(0).dmaStats(1).running);
  EXPECT_EQ(host::ks::outstandingClockReferences(), 0u);
  EXPECT_EQ(host::ks::livePins(), 0u);
}

TEST_F(Capture, OutputPinTakesAnyFormatAndAnswersWithItsOwnRange) {
  std::unique_ptr<host::client::Filter> capture;
  bda_test::FilterInfo info;
  for (auto& c : captures())
    if (bda_test::channelOf(c, kCaptureReference) == 1) info = c;
  ASSERT_EQ(host::client::Filter::open(info, capture), STATUS_SUCCESS);
  const KSPIN_DESCRIPTOR_EX& pd = capture->ksFilter()->Descriptor->PinDescriptors[1];
  const KSDATARANGE& own = *pd.PinDescriptor.DataRanges[0];
  EXPECT_EQ(own.FormatSize, 64u);
  EXPECT_EQ(own.SampleSize, kTsFrameBytes);
  ASSERT_NE(pd.AllocatorFraming, nullptr);
  EXPECT_EQ(pd.AllocatorFraming->FramingItem[0].Frames, 64u);
  EXPECT_EQ(pd.AllocatorFraming->FramingItem[0].FramingRange.Range.MinFrameSize, kTsFrameBytes);
  EXPECT_EQ(pd.AllocatorFraming->FramingItem[0].FramingRange.Range.MaxFrameSize, kTsFrameBytes);

  // Intersection: 0 bytes asks for the size, 63 is too small, 64 gets the pin's own range whatever was asked.
  KSDATARANGE foreign = own;
  foreign.SampleSize = 1234;
  foreign.Flags = 0;
  UCHAR buffer[64];
  std::memset(buffer, 0xEE, sizeof buffer);
  ULONG size = 0;
  auto handler = pd.IntersectHandler;
  EXPECT_EQ(handler(capture->ksFilter(), nullptr, nullptr, &foreign, const_cast<PKSDATARANGE>(&own), 0,
                    nullptr, &size),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 64u);
  size = 0;
  EXPECT_EQ(handler(capture->ksFilter(), nullptr, nullptr, &foreign, const_cast<PKSDATARANGE>(&own), 63,
                    buffer, &size),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(buffer[0], 0xEE);
  EXPECT_EQ(handler(capture->ksFilter(), nullptr, nullptr, &foreign, const_cast<PKSDATARANGE>(&own), 64,
                    buffer, &size),
            STATUS_SUCCESS);
  EXPECT_EQ(size, 64u);
  EXPECT_EQ(std::memcmp(buffer, &own, 64), 0);

  // A pin created from a foreign range gets the fixed format, and a format change is accepted.
  std::unique_ptr<host::client::Pin> out;
  ASSERT_EQ(capture->createPin(1, &foreign, sizeof foreign, out), STATUS_SUCCESS);
  EXPECT_EQ(out->format().SampleSize, kTsFrameBytes);
  KSDATAFORMAT other = out->format();
  other.SampleSize = 1;
  EXPECT_EQ(pd.Dispatch->SetDataFormat(out->ksPin(), &other, nullptr, &own, nullptr), STATUS_SUCCESS);
  out.reset();
  capture.reset();
}

}  // namespace
