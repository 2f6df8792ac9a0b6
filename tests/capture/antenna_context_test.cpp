// The antenna pin's states as the tuner filter sees them, and an acquisition refused: through the pins'
// contexts, so on the linked driver only.
#include "capture_fixture.h"
#include "zadivo/antennapin.h"
#include "zadivo/demodfilter.h"

using namespace capture_test;

namespace {

// ---- Antenna pin -----------------------------------------------------------------------------------------

TEST_F(Capture, AntennaPinStatesAndTheStateTheFilterSees) {
  Graph& g = graph(1);
  auto* filter = static_cast<CFilter*>(g.tuner->ksFilter()->Context);
  PKSPIN pin = g.antenna->ksPin();
  auto setState = pin->Descriptor->Dispatch->SetDeviceState;

  // STOP to STOP only traces.
  host::trace::clear();
  EXPECT_EQ(setState(pin, KSSTATE_STOP, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(count(traces(), "new Antenna pin state"), 1u);
  EXPECT_EQ(count(traces(), "BDATuner:"), 0u);

  ASSERT_EQ(g.antenna->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(filter->antennaState(), KSSTATE_STOP);  // the state the pin left
  ASSERT_EQ(g.antenna->setState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(filter->antennaState(), KSSTATE_ACQUIRE);

  // A to-state of 4 is refused; the pin keeps PAUSE, the filter still hears of the state being left.
  EXPECT_EQ(setState(pin, KSSTATE(4), KSSTATE_PAUSE), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(static_cast<CAntennaPin*>(pin->Context)->_state, KSSTATE_PAUSE);
  EXPECT_EQ(filter->antennaState(), KSSTATE_PAUSE);
  EXPECT_EQ(g.antenna->setState(KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(Capture, AnAcquisitionErrorKeepsTheAntennaPinInStop) {
  Graph& first = graph(4);
  ASSERT_EQ(first.antenna->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  // A second filter of the same channel finds the tuner held: refused, and its pin stays in STOP.
  host::client::Filter* second = openTuner(4);
  std::unique_ptr<host::client::Pin> antenna;
  ASSERT_EQ(second->createPin(0, nullptr, 0, antenna), STATUS_SUCCESS);
  EXPECT_EQ(antenna->setState(KSSTATE_ACQUIRE), STATUS_DEVICE_BUSY);
  EXPECT_EQ(static_cast<CAntennaPin*>(antenna->ksPin()->Context)->_state, KSSTATE_STOP);
  // The refusal dropped the hold, so the next attempt from STOP acquires.
  EXPECT_EQ(antenna->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(antenna->setState(KSSTATE_STOP), STATUS_SUCCESS);
  antenna.reset();
  // The first filter's hold went with the refusal: its release reports that it held nothing.
  EXPECT_EQ(first.antenna->setState(KSSTATE_STOP), STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
