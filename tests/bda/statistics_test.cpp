// Signal statistics through both pins, the transport and antenna pins' states and intersections, and a
// DVB-T tune through the standard properties that locks on an air multiplex.
#include <chrono>
#include <cstring>
#include <thread>

#include "bda_fixture.h"
#include "zadivo/bdatuner.h"

using namespace bda_test;

namespace {

const GUID& kStats = KSPROPSETID_BdaSignalStats;
const GUID& kFreq = KSPROPSETID_BdaFrequencyFilter;
constexpr ULONG kNoSignal = 0x10000 - 10000;  // -100.00 dBm as the 16-bit figure

class Statistics : public BdaTest {
 protected:
  void SetUp() override {
    BdaTest::SetUp();
    start(1, 1);
  }
  void tune(Graph& g, ULONG kHz, ULONG bandwidthMHz) {
    ASSERT_EQ(startChanges(*g.tuner), STATUS_SUCCESS);
    ASSERT_EQ(put(*g.antenna, 0, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, kHz), STATUS_SUCCESS);
    ASSERT_EQ(put(*g.antenna, 0, kFreq, KSPROPERTY_BDA_RF_TUNER_BANDWIDTH, bandwidthMHz), STATUS_SUCCESS);
    ASSERT_EQ(commitChanges(*g.tuner), STATUS_SUCCESS);
  }
  // Waits (bounded, generously) for the demodulator node to report lock.
  bool waitLocked(Graph& g) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
      if (getValue(*g.transport, 1, kStats, KSPROPERTY_BDA_SIGNAL_LOCKED) == 1) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
};

TEST_F(Statistics, StrengthAndQualityReadNoSignalUntilTheAntennaMovedPastAcquire) {
  Graph& g = graph(1);
  for (ULONG node : {0u, 1u}) {
    host::client::Pin& pin = node == 0 ? *g.antenna : *g.transport;
    EXPECT_EQ(getValue(pin, node, kStats, KSPROPERTY_BDA_SIGNAL_STRENGTH), kNoSignal);
    EXPECT_EQ(getValue(pin, node, kStats, KSPROPERTY_BDA_SIGNAL_QUALITY), 0u);
  }
  ASSERT_EQ(g.antenna->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  // The filter records the state the pin left: still STOP.
  EXPECT_EQ(getValue(*g.antenna, 0, kStats, KSPROPERTY_BDA_SIGNAL_STRENGTH), kNoSignal);
  EXPECT_EQ(getValue(*g.transport, 1, kStats, KSPROPERTY_BDA_SIGNAL_QUALITY), 0u);
}

// Every family, before its first tune and with the antenna out of STOP: nothing measured reads as no signal,
// never as a strong one. After a tune with no multiplex there, quality still says no lock.
class NoSignal : public Statistics, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override { BdaTest::SetUp(); }
};

TEST_P(NoSignal, BeforeTheFirstTuneAndWithoutLock) {
  start(1, GetParam());
  Graph& g = graph(3);
  ASSERT_EQ(g.antenna->setState(KSSTATE_PAUSE), STATUS_SUCCESS);
  for (ULONG node : {0u, 1u}) {
    host::client::Pin& pin = node == 0 ? *g.antenna : *g.transport;
    EXPECT_EQ(getValue(pin, node, kStats, KSPROPERTY_BDA_SIGNAL_STRENGTH), kNoSignal) << "node " << node;
    EXPECT_EQ(getValue(pin, node, kStats, KSPROPERTY_BDA_SIGNAL_QUALITY), 0u) << "node " << node;
    EXPECT_EQ(getValue(pin, node, kStats, KSPROPERTY_BDA_SIGNAL_LOCKED), 0u) << "node " << node;
  }
  ASSERT_EQ(startChanges(*g.tuner), STATUS_SUCCESS);
  ASSERT_EQ(put(*g.antenna, 0, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, 150000), STATUS_SUCCESS);
  const bool cable = GetParam() == 4 || GetParam() == 6 || GetParam() == 8;
  if (!cable) {
    ASSERT_EQ(put(*g.antenna, 0, kFreq, KSPROPERTY_BDA_RF_TUNER_BANDWIDTH, 8), STATUS_SUCCESS);
  }
  ASSERT_EQ(commitChanges(*g.tuner), STATUS_SUCCESS);
  EXPECT_EQ(getValue(*g.transport, 1, kStats, KSPROPERTY_BDA_SIGNAL_LOCKED), 0u);
  EXPECT_EQ(getValue(*g.transport, 1, kStats, KSPROPERTY_BDA_SIGNAL_QUALITY), 0u);
}

INSTANTIATE_TEST_SUITE_P(Families, NoSignal, ::testing::Values(1, 3, 4, 5, 6, 7, 8),
                         [](const auto& info) { return "type" + std::to_string(info.param); });

TEST_F(Statistics, PresentAndLockedAlwaysAgree) {
  Graph& g = graph(1);
  auto agree = [&] {
    ULONG present = getValue(*g.antenna, 0, kStats, KSPROPERTY_BDA_SIGNAL_PRESENT);
    ULONG locked = getValue(*g.transport, 1, kStats, KSPROPERTY_BDA_SIGNAL_LOCKED);
    EXPECT_LE(present, 1u);
    EXPECT_EQ(present, locked);
    return locked;
  };
  EXPECT_EQ(agree(), 0u);  // nothing tried yet on a DVB-T channel
  ASSERT_EQ(g.antenna->setState(KSSTATE_RUN), STATUS_SUCCESS);
  tune(g, 474000, 8);
  ASSERT_TRUE(waitLocked(g));
  EXPECT_EQ(agree(), 1u);
  tune(g, 600000, 8);  // nothing on air there
  EXPECT_EQ(agree(), 0u);
}

TEST_F(Statistics, DvbtTuneThroughThePropertiesLocksOnAnAirMultiplex) {
  Graph& g = graph(5);
  ASSERT_EQ(g.antenna->setState(KSSTATE_RUN), STATUS_SUCCESS);
  tune(g, 506000, 8);
  ASSERT_TRUE(waitLocked(g));
  // Level -62.5 dBm as a 16-bit two's complement figure in hundredths of a dBm; C/N 24.3 dB gives some
  // quality.
  ULONG strength = getValue(*g.antenna, 0, kStats, KSPROPERTY_BDA_SIGNAL_STRENGTH);
  EXPECT_NEAR(static_cast<int>(static_cast<int16_t>(strength)), -6250, 50);
  EXPECT_GT(getValue(*g.transport, 1, kStats, KSPROPERTY_BDA_SIGNAL_QUALITY), 20u);
  // The neighbour on the same I2C master (channel 6 shares it with 5) was not tuned.
  Graph& other = graph(6);
  EXPECT_EQ(getValue(*other.transport, 1, kStats, KSPROPERTY_BDA_SIGNAL_LOCKED), 0u);
}

TEST_F(Statistics, EveryTransportPinStateChangeSucceeds) {
  Graph& g = graph(1);
  for (KSSTATE s : {KSSTATE_RUN, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_STOP, KSSTATE(7)})
    EXPECT_EQ(g.transport->setState(s), STATUS_SUCCESS) << s;
  EXPECT_EQ(device()->tuner(0)->resourceHolds(), 0u);  // the transport pin never touches resources
}

TEST_F(Statistics, AntennaPinRefusesStatesBeyondRunAndKeepsItsOwn) {
  Graph& g = graph(1);
  ASSERT_EQ(g.antenna->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(g.antenna->setState(KSSTATE(4)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(device()->tuner(0)->resourceHolds(), 1u);
  // STOP to STOP only traces; leaving to STOP releases.
  ASSERT_EQ(g.antenna->setState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(device()->tuner(0)->resourceHolds(), 0u);
}

TEST_F(Statistics, PinIntersectionsWithShortBuffers) {
  Graph& g = graph(1);
  const KSFILTER_DESCRIPTOR* d = g.tuner->ksFilter()->Descriptor;
  KSP_PIN pinReq{};
  IRP irp{};
  UCHAR buf[96] = {};
  ULONG size = 0;
  auto call = [&](ULONG pin, const void* caller, ULONG bufferSize) {
    size = 0;
    PKSDATARANGE own = d->PinDescriptors[pin].PinDescriptor.DataRanges[0];
    return d->PinDescriptors[pin].IntersectHandler(
        g.tuner->ksFilter(), &irp, &pinReq, const_cast<PKSDATARANGE>(static_cast<const KSDATARANGE*>(caller)),
        own, bufferSize, buf, &size);
  };
  // Transport pin: 87 bytes is short, a 64-byte caller range does not match, 88 copies the caller's range.
  KS_DATARANGE_BDA_TRANSPORT transport = kBdaTransportRange;
  transport.BdaTransportInfo.ulcbPhyiscalFrame = 1234;
  EXPECT_EQ(call(1, &transport, 87), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 88u);
  KS_DATARANGE_BDA_TRANSPORT shortRange = kBdaTransportRange;
  shortRange.DataRange.FormatSize = 64;
  EXPECT_EQ(call(1, &shortRange, 88), STATUS_NO_MATCH);
  EXPECT_EQ(call(1, &transport, 88), STATUS_SUCCESS);
  EXPECT_EQ(size, 88u);
  EXPECT_EQ(std::memcmp(buf, &transport, 88), 0);
  // Antenna pin: the same at 64 bytes.
  KS_DATARANGE_BDA_ANTENNA antenna = kBdaAntennaRange;
  EXPECT_EQ(call(0, &antenna, 63), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 64u);
  EXPECT_EQ(call(0, &antenna, 64), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(buf, &antenna, 64), 0);
  // Through the client, a caller range of 64 bytes never matches the transport pin.
  std::vector<UCHAR> format;
  EXPECT_EQ(g.tuner->intersect(1, &shortRange.DataRange, 64, format), STATUS_NO_MATCH);
}

TEST_F(Statistics, RequestsOnAStoppedDeviceFailCleanly) {
  Graph& g = graph(1);
  ASSERT_EQ(g.antenna->setState(KSSTATE_PAUSE), STATUS_SUCCESS);
  // Stop tears the tuners down before the framework closes the filters; the pins walk down to STOP and
  // release nothing that is gone.
  ASSERT_EQ(machine->stop(0), STATUS_SUCCESS);
  ULONG v = 0;
  EXPECT_FALSE(NT_SUCCESS(get(*g.antenna, 0, kStats, KSPROPERTY_BDA_SIGNAL_LOCKED, v)));
}

}  // namespace
