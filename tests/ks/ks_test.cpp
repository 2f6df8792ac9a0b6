// Filters, pins and the BDA library through the client: routing, validation, minimum sizes, intersection,
// state sequencing, object-bag lifetimes, registry and graph join, change-protocol bookkeeping, _KsEdit.
#include <algorithm>
#include <cstring>

#include "platform/host/ks/ks_host.h"
#include "tests/ks/fixture.h"

using host::client::Filter;
using host::client::Pin;
using host::client::Result;

namespace {

KSDATARANGE antennaRange() {
  KSDATARANGE r{};
  r.FormatSize = sizeof(r);
  r.MajorFormat = KSDATAFORMAT_TYPE_BDA_ANTENNA;
  r.SubFormat = KSDATAFORMAT_SUBTYPE_NONE;
  r.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  return r;
}

}  // namespace

TEST_F(KsTest, NodePropertiesReachTheAddressedNodeThroughPinOrFilter) {
  auto tuner = openTuner();
  std::unique_ptr<Pin> antenna;
  ASSERT_EQ(tuner->createPin(0, nullptr, 0, antenna), STATUS_SUCCESS);

  ULONG f = 578000;
  Result r =
      antenna->setNodeProperty(0, KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, &f, 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_TRUE(ksdrv::knobs().sawPinInIrp);
  ULONG got = 0;
  r = tuner->getNodeProperty(0, KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, &got, 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 4u);
  EXPECT_EQ(got, 578000u);
  EXPECT_FALSE(ksdrv::knobs().sawPinInIrp);  // sent on the filter handle

  // The same set and id on another node runs that node's handler (which reports its node id), through the
  // pin the topology gives that node: the demodulator sits past the joint, on the output pin's side.
  std::unique_ptr<Pin> transport;
  ASSERT_EQ(tuner->createPin(1, nullptr, 0, transport), STATUS_SUCCESS);
  ULONG locked = 0;
  EXPECT_EQ(
      transport->getNodeProperty(1, KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED, &locked, 4)
          .status,
      STATUS_SUCCESS);
  EXPECT_EQ(locked, 101u);
  EXPECT_EQ(antenna->getNodeProperty(1, KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED, &locked, 4)
                .status,
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(ksdrv::knobs().lastValidate, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(
      transport->getNodeProperty(0, KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED, &locked, 4)
          .status,
      STATUS_INVALID_DEVICE_REQUEST);
  // The RF node has no frequency handler on node 1, and no such set without the topology flag.
  EXPECT_EQ(antenna->getNodeProperty(1, KSPROPSETID_BdaFrequencyFilter, 0, &got, 4).status, STATUS_NOT_FOUND);
  EXPECT_EQ(antenna->getProperty(KSPROPSETID_BdaFrequencyFilter, 0, &got, 4).status, STATUS_NOT_FOUND);
  // An item declared without handlers is refused before any handler.
  int calls = ksdrv::knobs().handlerCalls;
  EXPECT_EQ(
      antenna->getNodeProperty(0, KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_RANGE, &got, 4)
          .status,
      STATUS_NOT_FOUND);
  EXPECT_EQ(ksdrv::knobs().handlerCalls, calls);
}

TEST_F(KsTest, NodesOutsideTheTopologyAreRefused) {
  auto tuner = openTuner();
  ULONG v = 0;
  int calls = ksdrv::knobs().handlerCalls;
  // Node 2 has a table in the filter descriptor, but the BDA topology does not include it.
  Result r = tuner->getNodeProperty(2, KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED, &v, 4);
  EXPECT_EQ(r.status, STATUS_NOT_FOUND);
  EXPECT_EQ(ksdrv::knobs().lastValidate, STATUS_NOT_FOUND);
  // A node the descriptor lacks never reaches a handler.
  r = tuner->getNodeProperty(7, KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED, &v, 4);
  EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(ksdrv::knobs().handlerCalls, calls);
  EXPECT_EQ(v, 0u);
}

TEST_F(KsTest, MinimumSizesAreEnforcedBeforeTheHandler) {
  auto tuner = openTuner();
  ULONG v = 0;
  // Get with no buffer: the size needed and an overflow.
  Result r = tuner->getNodeProperty(0, KSPROPSETID_BdaFrequencyFilter, 0, nullptr, 0);
  EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(r.bytes, 4u);
  EXPECT_EQ(ksdrv::knobs().handlerCalls, 0);
  // Short data on get and set.
  EXPECT_EQ(tuner->getNodeProperty(0, KSPROPSETID_BdaFrequencyFilter, 0, &v, 3).status,
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(tuner->setNodeProperty(0, KSPROPSETID_BdaFrequencyFilter, 0, &v, 2).status,
            STATUS_BUFFER_TOO_SMALL);
  // A node request that is only a KSPROPERTY.
  KSPROPERTY bare{};
  bare.Set = KSPROPSETID_BdaFrequencyFilter;
  bare.Flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY;
  EXPECT_EQ(tuner->property(&bare, sizeof(bare), &v, 4).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(tuner->property(&bare, 10, &v, 4).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(ksdrv::knobs().handlerCalls, 0);

  // The filter's test property wants a 40-byte request and 8 bytes of data.
  UCHAR req[40] = {};
  auto* p = reinterpret_cast<KSPROPERTY*>(req);
  p->Set = ksdrv::kTestPropSet;
  p->Flags = KSPROPERTY_TYPE_GET;
  UCHAR data[8] = {};
  EXPECT_EQ(tuner->property(req, 39, data, 8).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(data[0], 0);
  r = tuner->property(req, 40, data, 8);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 8u);
  EXPECT_EQ(data[7], 0x5a);
  // Basic support reports the access without a support handler.
  p->Flags = KSPROPERTY_TYPE_BASICSUPPORT;
  ULONG access = 0;
  EXPECT_EQ(tuner->property(req, 40, &access, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(access, ULONG(KSPROPERTY_TYPE_GET));
}

TEST_F(KsTest, PinCreationIntersectsDataRanges) {
  auto tuner = openTuner();
  std::vector<UCHAR> format;
  // The transport pin's handler is asked for the size first, then fills its 88-byte range.
  KS_DATARANGE_BDA_TRANSPORT want{};
  want.DataRange.FormatSize = sizeof(want);
  want.DataRange.MajorFormat = KSDATAFORMAT_TYPE_STREAM;
  ASSERT_EQ(tuner->intersect(1, &want.DataRange, sizeof(want), format), STATUS_SUCCESS);
  ASSERT_EQ(format.size(), sizeof(KS_DATARANGE_BDA_TRANSPORT));
  auto* got = reinterpret_cast<KS_DATARANGE_BDA_TRANSPORT*>(format.data());
  EXPECT_TRUE(IsEqualGUID(got->DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_MPEG2_TRANSPORT));
  EXPECT_EQ(got->BdaTransportInfo.ulcbPhyiscalFrame, 96256u);
  auto log = ksdrv::log().take();
  EXPECT_EQ(std::count_if(log.begin(), log.end(), [](auto& e) { return e.rfind("intersect", 0) == 0; }), 2);

  // A range of another major format matches nothing; a caller range the handler finds too short neither.
  KSDATARANGE other = antennaRange();
  EXPECT_EQ(tuner->intersect(1, &other, sizeof(other), format), STATUS_NO_MATCH);
  KSDATARANGE shortRange{};
  shortRange.FormatSize = sizeof(shortRange);
  shortRange.MajorFormat = KSDATAFORMAT_TYPE_STREAM;
  std::unique_ptr<Pin> pin;
  EXPECT_EQ(tuner->createPin(1, &shortRange, sizeof(shortRange), pin), STATUS_NO_MATCH);
  EXPECT_EQ(pin, nullptr);

  // Without an intersect handler the pin's own range becomes the format.
  KSDATARANGE wild = antennaRange();
  wild.SubFormat = GUID_NULL;
  ASSERT_EQ(tuner->createPin(0, &wild, sizeof(wild), pin), STATUS_SUCCESS);
  EXPECT_TRUE(IsEqualGUID(pin->format().SubFormat, KSDATAFORMAT_SUBTYPE_NONE));
  // One instance possible.
  std::unique_ptr<Pin> second;
  EXPECT_EQ(tuner->createPin(0, nullptr, 0, second), STATUS_DEVICE_BUSY);
  EXPECT_EQ(tuner->createPin(5, nullptr, 0, second), STATUS_INVALID_PARAMETER);
}

TEST_F(KsTest, PinStatesPassEveryIntermediateState) {
  auto capture = openCapture();
  std::unique_ptr<Pin> out;
  ASSERT_EQ(capture->createPin(1, nullptr, 0, out), STATUS_SUCCESS);
  ksdrv::log().take();
  ASSERT_EQ(out->setState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(ksdrv::log().take(),
            (std::vector<std::string>{"state pin1 1<-0", "state pin1 2<-1", "state pin1 3<-2"}));
  EXPECT_EQ(host::ks::outstandingClockReferences(), 1u);
  ASSERT_EQ(out->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(ksdrv::log().take(), (std::vector<std::string>{"state pin1 2<-3", "state pin1 1<-2"}));
  ASSERT_EQ(out->setState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(ksdrv::log().take(), (std::vector<std::string>{"state pin1 0<-1"}));
  EXPECT_EQ(host::ks::outstandingClockReferences(), 0u);

  // A refused step leaves the pin in the last state reached.
  ksdrv::knobs().refuseState = KSSTATE_PAUSE;
  EXPECT_EQ(out->setState(KSSTATE_RUN), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(out->state(), KSSTATE_ACQUIRE);
  ksdrv::knobs().refuseState = KSSTATE(-1);
  // A value that is no state reaches the driver once and changes nothing.
  ksdrv::log().take();
  EXPECT_EQ(out->setState(KSSTATE(4)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ksdrv::log().take(), (std::vector<std::string>{"state pin1 4<-1"}));
  EXPECT_EQ(out->state(), KSSTATE_ACQUIRE);
  // Closing a pin out of STOP walks it down first.
  ASSERT_EQ(out->setState(KSSTATE_RUN), STATUS_SUCCESS);
  ksdrv::log().take();
  out->close();
  EXPECT_EQ(ksdrv::log().take(), (std::vector<std::string>{"state pin1 2<-3", "state pin1 1<-2",
                                                           "state pin1 0<-1", "close pin1", "free pin1"}));
}

TEST_F(KsTest, ObjectBagsAreEmptiedAtCloseAndRemovalInOrder) {
  auto tuner = openTuner();
  std::unique_ptr<Pin> antenna, transport;
  ASSERT_EQ(tuner->createPin(0, nullptr, 0, antenna), STATUS_SUCCESS);
  ASSERT_EQ(tuner->createPin(1, nullptr, 0, transport), STATUS_SUCCESS);
  EXPECT_GT(host::pool::outstandingBytes(ksdrv::kTag), 0u);
  ksdrv::log().take();
  // A filter closes its pins first (each pin's bag right after its Close), then itself.
  tuner->close();
  auto log = ksdrv::log().take();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0], "close pin0");
  EXPECT_EQ(log[1], "free pin0");
  EXPECT_EQ(log[2], "close pin1");
  EXPECT_EQ(log[3], "free pin1");
  EXPECT_EQ(log[4].rfind("close filter", 0), 0u);
  EXPECT_EQ(log[5], "free tuner filter");
  // Handles of closed objects answer, they do not crash.
  ULONG v;
  EXPECT_EQ(antenna->getNodeProperty(0, KSPROPSETID_BdaFrequencyFilter, 0, &v, 4).status,
            STATUS_DEVICE_NOT_CONNECTED);

  // Removal closes what is still open, then empties the factories' bags.
  auto again = openTuner();
  ASSERT_EQ(again->createPin(0, nullptr, 0, antenna), STATUS_SUCCESS);
  ksdrv::log().take();
  board->remove();
  log = ksdrv::log().take();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0], "close pin0");
  EXPECT_EQ(log[1], "free pin0");
  EXPECT_EQ(log[3], "free tuner filter");
  EXPECT_EQ(log[4], "free factory item");
  EXPECT_EQ(host::ks::liveFactories(), 0u);
  EXPECT_EQ(host::ks::liveFilters(), 0u);
  EXPECT_EQ(host::ks::livePins(), 0u);
  EXPECT_TRUE(host::client::enumerate(KSCATEGORY_BDA_NETWORK_TUNER, board->fdo.DriverObject).empty());
  EXPECT_EQ(again->getNodeProperty(0, KSPROPSETID_BdaFrequencyFilter, 0, &v, 4).status,
            STATUS_DEVICE_NOT_CONNECTED);
  std::unique_ptr<Pin> late;
  EXPECT_EQ(again->createPin(1, nullptr, 0, late), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(KsTest, ChangeProtocolTracksPendingTopology) {
  auto tuner = openTuner();
  PKSFILTER ks = tuner->ksFilter();
  ULONG state = 7;
  // Without a buffer the driver's handler asks for four bytes.
  Result r = tuner->callMethod(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_GET_CHANGE_STATE, nullptr, 0);
  EXPECT_EQ(r.status, STATUS_MORE_ENTRIES);
  EXPECT_EQ(r.bytes, 4u);
  ASSERT_EQ(tuner->callMethod(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_START_CHANGES, nullptr, 0).status,
            STATUS_SUCCESS);

  KSM_BDA_PIN_PAIR pair{};
  pair.Method.Set = KSMETHODSETID_BdaDeviceConfiguration;
  pair.Method.Id = KSMETHOD_BDA_CREATE_TOPOLOGY;
  pair.Method.Flags = KSMETHOD_TYPE_SEND;
  pair.InputPinId = 0;
  pair.OutputPinId = 1;
  EXPECT_EQ(tuner->method(&pair, sizeof(KSMETHOD), nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
  ASSERT_EQ(tuner->method(&pair, sizeof(pair), nullptr, 0).status, STATUS_SUCCESS);
  ASSERT_EQ(tuner->callMethod(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_GET_CHANGE_STATE, &state, 4).status,
            STATUS_SUCCESS);
  EXPECT_EQ(state, ULONG(BDA_CHANGES_PENDING));
  EXPECT_TRUE(host::ks::bdaTopology(ks).empty());

  // A new transaction discards the uncommitted joint.
  ASSERT_EQ(tuner->callMethod(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_START_CHANGES, nullptr, 0).status,
            STATUS_SUCCESS);
  tuner->callMethod(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_GET_CHANGE_STATE, &state, 4);
  EXPECT_EQ(state, ULONG(BDA_CHANGES_COMPLETE));

  ASSERT_EQ(tuner->method(&pair, sizeof(pair), nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(tuner->callMethod(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_CHECK_CHANGES, nullptr, 0).status,
            STATUS_SUCCESS);
  ASSERT_EQ(tuner->callMethod(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_COMMIT_CHANGES, nullptr, 0).status,
            STATUS_SUCCESS);
  tuner->callMethod(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_GET_CHANGE_STATE, &state, 4);
  EXPECT_EQ(state, ULONG(BDA_CHANGES_COMPLETE));
  EXPECT_EQ(host::ks::bdaTopology(ks), (std::vector<std::pair<ULONG, ULONG>>{{0, 1}}));

  // A pair the template does not have is refused.
  pair.InputPinId = 1;
  pair.OutputPinId = 0;
  EXPECT_EQ(tuner->method(&pair, sizeof(pair), nullptr, 0).status, STATUS_NOT_FOUND);
}

TEST_F(KsTest, RegistryAndGraphJoinByMediumAcrossBoards) {
  ksdrv::Board second(0x40007, board->fdo.DriverObject);
  ASSERT_EQ(second.start(), STATUS_SUCCESS);
  auto tuners = host::client::enumerate(KSCATEGORY_BDA_NETWORK_TUNER, board->fdo.DriverObject);
  // One entry per factory: the no-KS-pins registration lands on the factory it describes.
  ASSERT_EQ(tuners.size(), 2u);
  for (auto& t : tuners) {
    EXPECT_TRUE(t.openable);
    EXPECT_TRUE(IsEqualGUID(t.reference, ksdrv::kTunerRef));
    ASSERT_EQ(t.pins.size(), 2u);
    EXPECT_EQ(t.pins[0].dataFlow, KSPIN_DATAFLOW_IN);
    EXPECT_EQ(t.pins[1].dataFlow, KSPIN_DATAFLOW_OUT);
  }
  for (auto& t : tuners) {
    host::client::Graph g;
    ASSERT_EQ(host::client::buildGraph(t, g), STATUS_SUCCESS);
    EXPECT_EQ(g.medium.Id, t.pins[1].mediums[0].Id);
    // The capture filter chosen is the one of the same board.
    PKSDEVICE tunerDevice = KsGetDevice(g.tuner->ksFilter());
    EXPECT_EQ(KsGetDevice(g.capture->ksFilter()), tunerDevice);
    EXPECT_EQ(KsGetDevice(g.output->ksPin()), tunerDevice);
    EXPECT_EQ(g.input->format().FormatSize, sizeof(KS_DATARANGE_BDA_TRANSPORT));
  }
  // A medium nobody carries joins nothing.
  KSPIN_MEDIUM stray = {{{ksdrv::kMediumSet, 0x99, 0}}};
  EXPECT_EQ(host::client::findCaptureFor(stray, host::client::enumerate(KSCATEGORY_BDA_RECEIVER_COMPONENT)),
            nullptr);

  // A registration that describes no factory is listed but cannot be opened.
  BOOL dirs[1] = {TRUE};
  KSPIN_MEDIUM m[1] = {stray};
  ASSERT_EQ(KsRegisterFilterWithNoKSPins(&board->pdo, &KSCATEGORY_BDA_NETWORK_PROVIDER, 1, dirs, m, nullptr),
            STATUS_SUCCESS);
  auto providers = host::client::enumerate(KSCATEGORY_BDA_NETWORK_PROVIDER);
  ASSERT_EQ(providers.size(), 1u);
  EXPECT_FALSE(providers[0].openable);
  std::unique_ptr<Filter> f;
  EXPECT_EQ(Filter::open(providers[0], f), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(
      KsRegisterFilterWithNoKSPins(&board->pdo, &KSCATEGORY_BDA_NETWORK_PROVIDER, 1, nullptr, m, nullptr),
      STATUS_INVALID_PARAMETER);
}

TEST_F(KsTest, KsEditGivesTheFilterPrivateCopiesInItsBag) {
  size_t before = host::pool::outstandingBytes(ksdrv::kTag);
  auto capture = openCapture();
  PKSFILTER ks = capture->ksFilter();
  EXPECT_NE(ks->Descriptor, &board->captureDesc);
  EXPECT_NE(ks->Descriptor->PinDescriptors, board->capturePins);
  EXPECT_EQ(ks->Descriptor->PinDescriptors[0].PinDescriptor.Mediums[0].Flags, 0x77u);
  EXPECT_EQ(ks->Descriptor->PinDescriptors[0].PinDescriptor.Mediums[0].Id, board->boardId);
  EXPECT_EQ(board->medium.Flags, 0u);  // the static original is untouched
  // Pins are created from the edited descriptor.
  std::unique_ptr<Pin> in;
  ASSERT_EQ(capture->createPin(0, nullptr, 0, in), STATUS_SUCCESS);
  EXPECT_EQ(in->ksPin()->ConnectionMedium.Flags, 0x77u);
  // Editing an edited item replaces the copy: the first one is freed at once.
  size_t edited = host::pool::outstandingBytes(ksdrv::kTag);
  ASSERT_EQ(KsEdit(ks, &ks->Descriptor, ksdrv::kTag), STATUS_SUCCESS);
  EXPECT_EQ(host::pool::outstandingBytes(ksdrv::kTag), edited);
  in->close();
  capture->close();
  EXPECT_EQ(host::pool::outstandingBytes(ksdrv::kTag), before);
}
