// The change protocol through the tuner filter's methods and the antenna pin's node properties, and the
// resource hold that the antenna pin's states and the commits take from the channel's BDATuner.
#include <atomic>

#include "bda_fixture.h"
#include "zadivo/bdatuner.h"
#include "zadivo/tuner_demod_type.h"

using namespace bda_test;

namespace {

constexpr ULONG kTuner = 0;  // RF tuner node
const GUID& kFreq = KSPROPSETID_BdaFrequencyFilter;

class ChangeProtocol : public BdaTest {
 protected:
  void SetUp() override {
    BdaTest::SetUp();
    start(1, 1);
  }
};

// A change-protocol method that reaches no filter is answered, not followed into a null pointer (which a free
// build turns into a trap instruction: a bugcheck).
TEST(ChangeProtocolMethods, AnswerARequestWithoutAFilterWithInvalidDeviceState) {
  IRP irp{};
  IO_STACK_LOCATION stack{};  // no file object: no filter
  irp.Tail.Overlay.CurrentStackLocation = &stack;
  KSMETHOD method{};
  ULONG state = 7;
  for (auto handler :
       {CFilter::startChanges, CFilter::checkChanges, CFilter::commitChanges, CFilter::getChangeState})
    EXPECT_EQ(handler(&irp, &method, &state), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(state, 7u);
}

TEST_F(ChangeProtocol, GetChangeStateWithoutABufferAsksForFourBytes) {
  Graph& g = graph(1);
  auto r = g.tuner->callMethod(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_GET_CHANGE_STATE, nullptr, 0);
  EXPECT_EQ(r.status, STATUS_MORE_ENTRIES);
  EXPECT_EQ(r.bytes, 4u);
  UCHAR one = 0;
  EXPECT_EQ(g.tuner->callMethod(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_GET_CHANGE_STATE, &one, 1).status,
            STATUS_BUFFER_TOO_SMALL);
}

TEST_F(ChangeProtocol, PutsAreReadBackOnlyAfterCommit) {
  Graph& g = graph(2);
  ASSERT_EQ(startChanges(*g.tuner), STATUS_SUCCESS);
  EXPECT_EQ(changeState(*g.tuner), ULONG(BDA_CHANGES_COMPLETE));
  ASSERT_EQ(put(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, 506000), STATUS_SUCCESS);
  ASSERT_EQ(put(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_BANDWIDTH, 8), STATUS_SUCCESS);
  EXPECT_EQ(changeState(*g.tuner), ULONG(BDA_CHANGES_PENDING));
  EXPECT_EQ(getValue(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY), 0u);
  EXPECT_EQ(getValue(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_BANDWIDTH), ULONG(-1));
  EXPECT_EQ(getValue(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER), 1000u);
  ASSERT_EQ(commitChanges(*g.tuner), STATUS_SUCCESS);
  EXPECT_EQ(changeState(*g.tuner), ULONG(BDA_CHANGES_COMPLETE));
  EXPECT_EQ(getValue(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY), 506000u);
  EXPECT_EQ(getValue(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_BANDWIDTH), 8u);
  // Channel B's traces carry its class name.
  EXPECT_NE(host::trace::text().find("CFilter_B::putTunerFrequency = 506000, device instance = 2\n"),
            std::string::npos);
}

// The tuner carries 20 frequency bits: 1 100 000 kHz would be tuned as 51 424 kHz and could lock there. Such
// a frequency is refused at the property, nothing takes it, and the commit after it sends nothing to the bus.
TEST_F(ChangeProtocol, FrequencyTheTunerCannotCarryIsRefusedAndNeverReachesTheBus) {
  Graph& g = graph(3);
  std::atomic<size_t> transfers{0};
  machine->card(0).setI2cTraceSink([&](const std::string&) { ++transfers; });
  ASSERT_EQ(g.antenna->setState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(startChanges(*g.tuner), STATUS_SUCCESS);
  for (ULONG kHz : {1048576u, 1100000u, 999u})
    EXPECT_EQ(put(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, kHz),
              STATUS_INVALID_PARAMETER)
        << kHz;
  EXPECT_EQ(changeState(*g.tuner), ULONG(BDA_CHANGES_COMPLETE));
  EXPECT_EQ(device()->tuner(2)->tunerDemod()->frequency(), 0u);
  // Nothing tunable was stored, so the commit has nothing to tune and says so.
  EXPECT_EQ(commitChanges(*g.tuner), STATUS_UNSUCCESSFUL);
  machine->card(0).setI2cTraceSink({});
  EXPECT_EQ(transfers.load(), 0u);
  EXPECT_EQ(getValue(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY), 0u);
  // The edges of the range are frequencies like any other.
  for (ULONG kHz : {1000u, 1048575u})
    EXPECT_EQ(put(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, kHz), STATUS_SUCCESS) << kHz;
}

TEST_F(ChangeProtocol, StartChangesDiscardsEarlierPendingValues) {
  Graph& g = graph(1);
  ASSERT_EQ(startChanges(*g.tuner), STATUS_SUCCESS);
  ASSERT_EQ(put(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, 474000), STATUS_SUCCESS);
  ASSERT_EQ(startChanges(*g.tuner), STATUS_SUCCESS);
  EXPECT_EQ(changeState(*g.tuner), ULONG(BDA_CHANGES_COMPLETE));
  ASSERT_EQ(commitChanges(*g.tuner), STATUS_SUCCESS);
  EXPECT_EQ(getValue(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY), 0u);
}

TEST_F(ChangeProtocol, CommitWhileAntennaNeverLeftStopChangesOnlyTheCurrentSet) {
  Graph& g = graph(1);
  BDATuner* tuner = device()->tuner(0);
  ASSERT_EQ(startChanges(*g.tuner), STATUS_SUCCESS);
  ASSERT_EQ(put(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, 474000), STATUS_SUCCESS);
  host::trace::clear();
  ASSERT_EQ(commitChanges(*g.tuner), STATUS_SUCCESS);
  EXPECT_EQ(getValue(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY), 474000u);
  EXPECT_EQ(tuner->resourceHolds(), 0u);
  std::string t = host::trace::text();
  EXPECT_EQ(t.find("BDATuner:"), std::string::npos) << t;
  EXPECT_EQ(t.find("commitChanges"), std::string::npos) << t;
}

TEST_F(ChangeProtocol, SatelliteAndUnsupportedPropertiesStillMarkChangesPending) {
  // QAM filters carry the satellite-shaped RF tuner table.
  TearDown();
  start(1, 4);
  Graph& g = graph(1);
  ULONG v = 0;
  const struct {
    const GUID* set;
    ULONG id;
  } unsupported[] = {{&KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_POLARITY},
                     {&KSPROPSETID_BdaLNBInfo, KSPROPERTY_BDA_LNB_LOF_LOW_BAND},
                     {&KSPROPSETID_BdaLNBInfo, KSPROPERTY_BDA_LNB_LOF_HIGH_BAND},
                     {&KSPROPSETID_BdaLNBInfo, KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY}};
  for (auto u : unsupported) {
    ASSERT_EQ(startChanges(*g.tuner), STATUS_SUCCESS);
    EXPECT_EQ(put(*g.antenna, kTuner, *u.set, u.id, 1), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(changeState(*g.tuner), ULONG(BDA_CHANGES_PENDING));
    EXPECT_EQ(get(*g.antenna, kTuner, *u.set, u.id, v), STATUS_NOT_SUPPORTED);
  }
  // Demodulator node: spectral inversion and FEC method are refused, FEC method still records 1.
  ASSERT_EQ(startChanges(*g.tuner), STATUS_SUCCESS);
  EXPECT_EQ(put(*g.transport, 1, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_SPECTRAL_INVERSION, 1),
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(put(*g.transport, 1, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_INNER_FEC_TYPE, 9),
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(put(*g.transport, 1, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_SYMBOL_RATE, 6900),
            STATUS_SUCCESS);
  ASSERT_EQ(commitChanges(*g.tuner), STATUS_SUCCESS);
  EXPECT_EQ(getValue(*g.transport, 1, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_INNER_FEC_TYPE), 1u);
  EXPECT_EQ(getValue(*g.transport, 1, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_SYMBOL_RATE), 6900u);
  EXPECT_EQ(get(*g.transport, 1, kPropSetDemodAux, 1, v), STATUS_NOT_SUPPORTED);
  // DiSEqC: accepted, ignored, no pending change.
  ASSERT_EQ(startChanges(*g.tuner), STATUS_SUCCESS);
  EXPECT_EQ(put(*g.antenna, kTuner, KSPROPSETID_BdaDiseqCommand, KSPROPERTY_BDA_DISEQC_ENABLE, 5),
            STATUS_SUCCESS);
  EXPECT_EQ(changeState(*g.tuner), ULONG(BDA_CHANGES_COMPLETE));
}

TEST_F(ChangeProtocol, MultiplierFiveIsStoredButIgnoredByTheObject) {
  Graph& g = graph(1);
  ASSERT_EQ(startChanges(*g.tuner), STATUS_SUCCESS);
  ZadivoTraceLevel = 2;  // the object's refusal traces at level 2
  EXPECT_EQ(put(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER, 5), STATUS_SUCCESS);
  ZadivoTraceLevel = 1;
  ASSERT_EQ(commitChanges(*g.tuner), STATUS_SUCCESS);
  EXPECT_EQ(getValue(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER), 5u);
  std::string t = host::trace::text();
  EXPECT_NE(t.find("got invalid multiplier valid, ignore"), std::string::npos);
  EXPECT_EQ(t.find("new frequency multiplier value = 5"), std::string::npos);
}

// ---- Resources ------------------------------------------------------------------------------------------

TEST_F(ChangeProtocol, SecondFilterIsRefusedAndDropsTheFirstHold) {
  Graph& first = graph(1);
  BDATuner* tuner = device()->tuner(0);
  ASSERT_EQ(first.antenna->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(tuner->_resource_id, 25u);
  EXPECT_EQ(tuner->resourceHolds(), 1u);

  host::client::Filter* second = openTuner(1);
  std::unique_ptr<host::client::Pin> antenna2;
  ASSERT_EQ(second->createPin(0, nullptr, 0, antenna2), STATUS_SUCCESS);
  EXPECT_EQ(antenna2->setState(KSSTATE_ACQUIRE), STATUS_DEVICE_BUSY);
  EXPECT_EQ(antenna2->state(), KSSTATE_STOP);
  EXPECT_EQ(tuner->resourceHolds(), 0u);

  // The first filter's next commit updates with its old id and is refused: it tuned nothing, and says so.
  ASSERT_EQ(first.antenna->setState(KSSTATE_PAUSE), STATUS_SUCCESS);
  host::trace::clear();
  ASSERT_EQ(startChanges(*first.tuner), STATUS_SUCCESS);
  ASSERT_EQ(commitChanges(*first.tuner), STATUS_INVALID_DEVICE_REQUEST);
  std::string t = host::trace::text();
  EXPECT_NE(t.find("BDATuner:updateResources"), std::string::npos);
  EXPECT_EQ(t.find("Sending pre-channel change"), std::string::npos);
  EXPECT_EQ(tuner->updateResources(&tuner->_resource, 25), STATUS_INVALID_DEVICE_REQUEST);

  // The refused one tries again and gets the hold, numbered afresh from 25.
  ASSERT_EQ(antenna2->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(tuner->_resource_id, 25u);
  ASSERT_EQ(antenna2->setState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(tuner->resourceHolds(), 0u);
  ASSERT_EQ(antenna2->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(tuner->_resource_id, 50u);
  antenna2->close();
  EXPECT_EQ(tuner->resourceHolds(), 0u);
}

TEST_F(ChangeProtocol, ReleaseWithAWrongIdIsRefusedButResetsTheObject) {
  BDATuner* tuner = device()->tuner(2);
  ULONG id = 0;
  ASSERT_EQ(tuner->acquireResources(&tuner->_resource, &id), STATUS_SUCCESS);
  host::trace::clear();
  EXPECT_EQ(tuner->releaseResources(id + 1), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(tuner->resourceHolds(), 1u);
  EXPECT_EQ(tuner->releaseResources(id), STATUS_SUCCESS);
  EXPECT_EQ(tuner->resourceHolds(), 0u);
}

TEST_F(ChangeProtocol, FailedCommitStillSendsBothChannelChangeNotifications) {
  Graph& g = graph(1);
  ASSERT_EQ(g.antenna->setState(KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(startChanges(*g.tuner), STATUS_SUCCESS);
  // Bandwidth 5 passes 0 MHz to the tune, which every standard refuses: nothing locks, and the commit
  // reports the refusal.
  ASSERT_EQ(put(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, 474000), STATUS_SUCCESS);
  ASSERT_EQ(put(*g.antenna, kTuner, kFreq, KSPROPERTY_BDA_RF_TUNER_BANDWIDTH, 5), STATUS_SUCCESS);
  host::trace::clear();
  EXPECT_EQ(commitChanges(*g.tuner), STATUS_UNSUCCESSFUL);
  std::string t = host::trace::text();
  size_t pre = t.find("Device::notifyTSPreChannelChange\n");
  size_t post = t.find("Device::notifyTSPostChannelChange\n");
  ASSERT_NE(pre, std::string::npos) << t;
  ASSERT_NE(post, std::string::npos) << t;
  EXPECT_LT(pre, post);
  EXPECT_EQ(getValue(*g.transport, 1, KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED), 0u);
}

}  // namespace
