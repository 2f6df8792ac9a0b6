// The whole stack for the two families: a card whose EEPROM says ISDB-T (type 5) or J.83B (type 6), tuned
// through the BDA properties of its tuner filter, signal statistics read through the client, and frames of
// the multiplex's own transport stream read from the capture pin.
#include "../capture/capture_fixture.h"

using namespace capture_test;

namespace {

class FamilyCapture : public CaptureTest {
 protected:
  void start(uint8_t tunerType) {
    host::setAssertHandler([](const char* report) { ADD_FAILURE() << report; });
    auto muxes = sim::Air::makeDefault()->multiplexes();
    for (auto& m : muxes) m.bitrate = 1000000;  // a reader keeps up on a loaded machine
    zadivo::MachineConfig cfg;
    cfg.air = std::make_shared<sim::Air>(muxes);
    machine = std::make_unique<zadivo::Machine>(cfg);
    machine->card(0).eeprom().setContents(0x94, &tunerType, 1);
    ASSERT_EQ(machine->startAll(), STATUS_SUCCESS);
  }
  int tsidOf(sim::DeliverySystem system, ULONG kHz) {
    auto mux = machine->air().find(system, uint64_t(kHz) * 1000, 100000);
    EXPECT_TRUE(mux.has_value());
    return mux ? machine->air().generatorConfig(*mux).transportStreamId : -1;
  }
  void checkStream(Graph& g, int tsid) {
    ASSERT_EQ(g.input->setState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(g.output->setState(KSSTATE_RUN), STATUS_SUCCESS);
    TsCheck check;
    readStreamOf(g, tsid, 3, check);
    EXPECT_EQ(check.badFrames, 0u);
    EXPECT_EQ(check.syncLosses, 0u);
    EXPECT_EQ(check.ccErrors, 0u);
    EXPECT_EQ(check.tsids, std::set<int>{tsid});
    EXPECT_TRUE(check.pmtSeen);
    ASSERT_EQ(g.output->setState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_TRUE(machine->card(0).errors().empty());
  }
  static LONG strengthDbm100(Graph& g) {
    return static_cast<SHORT>(getValue(*g.antenna, 0, kStats, KSPROPERTY_BDA_SIGNAL_STRENGTH));
  }
};

TEST_F(FamilyCapture, IsdbtChannelTunedByPropertiesLocksAndStreams) {
  start(5);
  Graph& g = graph(4);
  ASSERT_EQ(g.antenna->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(g.antenna->setState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(g.transport->setState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(tune(g, 563143, 6), STATUS_SUCCESS);
  ASSERT_TRUE(waitLocked(g));
  EXPECT_NE(traces().find("ISDBTDemod::commitChanges"), std::string::npos);
  EXPECT_NEAR(strengthDbm100(g), -5000, 10);
  // 27 dB: 27000 x 100 / 65535 = 41.
  EXPECT_NEAR(static_cast<double>(getValue(*g.transport, 1, kStats, KSPROPERTY_BDA_SIGNAL_QUALITY)), 41.0,
              1.0);
  checkStream(g, tsidOf(sim::DeliverySystem::ISDBT, 563143));
}

TEST_F(FamilyCapture, J83bChannelTunedBySymbolRateLocksAndStreams) {
  start(6);
  Graph& g = graph(7);
  ASSERT_EQ(g.antenna->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(g.antenna->setState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(g.transport->setState(KSSTATE_RUN), STATUS_SUCCESS);
  // A symbol rate of the other class leaves the channel unlocked.
  ASSERT_EQ(startChanges(*g.tuner), STATUS_SUCCESS);
  ASSERT_EQ(put(*g.antenna, 0, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, 555000), STATUS_SUCCESS);
  ASSERT_EQ(put(*g.transport, 1, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_SYMBOL_RATE, 6000),
            STATUS_SUCCESS);
  ASSERT_EQ(commitChanges(*g.tuner), STATUS_SUCCESS);
  EXPECT_EQ(getValue(*g.transport, 1, kStats, KSPROPERTY_BDA_SIGNAL_LOCKED), 0u);

  ASSERT_EQ(startChanges(*g.tuner), STATUS_SUCCESS);
  ASSERT_EQ(put(*g.transport, 1, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_SYMBOL_RATE, 5360),
            STATUS_SUCCESS);
  ASSERT_EQ(commitChanges(*g.tuner), STATUS_SUCCESS);
  ASSERT_TRUE(waitLocked(g));
  EXPECT_NE(traces().find("CMCNSDemod::commitChanges"), std::string::npos);
  EXPECT_NEAR(strengthDbm100(g), -4100, 10);
  // 34 dB, within the coding's step: quality 51 or 52.
  EXPECT_NEAR(static_cast<double>(getValue(*g.transport, 1, kStats, KSPROPERTY_BDA_SIGNAL_QUALITY)), 51.5,
              1.0);
  checkStream(g, tsidOf(sim::DeliverySystem::DVBC_ANNEX_B, 555000));
}

}  // namespace
