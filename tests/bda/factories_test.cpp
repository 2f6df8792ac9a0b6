// Start-up: eight tuners of the EEPROM's tuner type, their filter factories and registrations, the capture
// filters, graphs joined by per-board mediums, the demodulator node each type presents, and the tuner-type
// change at run time.
#include <cstring>
#include <set>

#include "bda_fixture.h"
#include "zadivo/bdatuner.h"
#include "zadivo/tuner_demod_type.h"

using namespace bda_test;

namespace {

const GUID* demodNodeType(host::client::Filter& f) {
  const KSFILTER_DESCRIPTOR* d = f.ksFilter()->Descriptor;
  return d->NodeDescriptorsCount == 2 ? d->NodeDescriptors[1].Type : nullptr;
}

class Factories : public BdaTest {};

// Refused and unknown bytes read as 1; the others are used as they are.
TEST_F(Factories, TunerTypeFromEepromCreatesEightTunersOfThatType) {
  const struct {
    int byte;
    ULONG type;
  } cases[] = {{0, 1}, {2, 1}, {9, 1}, {255, 1}, {1, 1}, {3, 3}, {8, 8}};
  for (auto c : cases) {
    SCOPED_TRACE(c.byte);
    start(1, c.byte);
    for (ULONG i = 0; i < 8; ++i) {
      BDATuner* t = device()->tuner(i);
      ASSERT_NE(t, nullptr);
      EXPECT_EQ(t->tunerType(), c.type);
      EXPECT_EQ(t->instance(), i + 1);
      EXPECT_NE(t->tunerDemod(), nullptr);
    }
    TearDown();
  }
}

TEST_F(Factories, EightTunerAndEightCaptureFiltersCarryTheBoardId) {
  start(1, 1);
  const ULONG board = device()->boardId();
  std::set<ULONG> tunerChannels, captureChannels;
  for (auto& t : tuners()) {
    if (!t.openable) continue;
    ULONG ch = channelOf(t, kTunerReference);
    ASSERT_NE(ch, 0u);
    tunerChannels.insert(ch);
    ASSERT_EQ(t.pins.size(), 2u);
    EXPECT_EQ(t.pins[1].dataFlow, KSPIN_DATAFLOW_OUT);
    ASSERT_EQ(t.pins[1].mediums.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(t.pins[1].mediums[0].Set, kTransportMedium[ch - 1]));
    EXPECT_EQ(t.pins[1].mediums[0].Id, board);
  }
  for (auto& c : captures()) {
    ULONG ch = channelOf(c, kCaptureReference);
    ASSERT_NE(ch, 0u);
    captureChannels.insert(ch);
    ASSERT_FALSE(c.pins.empty());
    ASSERT_EQ(c.pins[0].mediums.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(c.pins[0].mediums[0].Set, kTransportMedium[ch - 1]));
    EXPECT_EQ(c.pins[0].mediums[0].Id, board);
  }
  EXPECT_EQ(tunerChannels.size(), 8u);
  EXPECT_EQ(captures().size(), 8u);
  EXPECT_EQ(captureChannels.size(), 8u);
}

TEST_F(Factories, WithTwoCardsEachTunerJoinsItsOwnCardsCapture) {
  start(2, 1);
  ASSERT_NE(device(0)->boardId(), device(1)->boardId());
  for (int card = 0; card < 2; ++card)
    for (ULONG ch : {1u, 8u}) {
      SCOPED_TRACE(card * 10 + ch);
      Graph& g = graph(ch, card);
      ASSERT_TRUE(g.capture);
      EXPECT_EQ(g.medium.Id, device(card)->boardId());
      EXPECT_EQ(g.capture->info().device, machine->pnp().ksDevice(machine->card(card)));
      EXPECT_EQ(channelOf(g.capture->info(), kCaptureReference), ch);
      // The opened capture filter carries the same medium on its input pin.
      const KSPIN_DESCRIPTOR_EX& in = g.capture->ksFilter()->Descriptor->PinDescriptors[0];
      EXPECT_EQ(in.PinDescriptor.Mediums[0].Id, device(card)->boardId());
    }
}

// Demodulator node per tuner type, and the routing that goes with it.
TEST_F(Factories, TunerTypesPresentTheirFamilysDemodulatorNode) {
  const struct {
    int type;
    const GUID* node;
  } cases[] = {{4, &KSNODE_BDA_QAM_DEMODULATOR},   {6, &KSNODE_BDA_QAM_DEMODULATOR},
               {8, &KSNODE_BDA_QAM_DEMODULATOR},   {1, &KSNODE_BDA_COFDM_DEMODULATOR},
               {5, &KSNODE_BDA_COFDM_DEMODULATOR}, {7, &KSNODE_BDA_COFDM_DEMODULATOR},
               {3, &KSNODE_BDA_8VSB_DEMODULATOR}};
  for (auto c : cases) {
    SCOPED_TRACE(c.type);
    start(1, c.type);
    Graph& g = graph(3);
    ASSERT_TRUE(g.tuner);
    const GUID* node = demodNodeType(*g.tuner);
    ASSERT_NE(node, nullptr);
    EXPECT_TRUE(IsEqualGUID(*node, *c.node));
    ULONG v = 0;
    bool qam = c.node == &KSNODE_BDA_QAM_DEMODULATOR;
    // Only the QAM node routes the digital demodulator properties to handlers.
    EXPECT_EQ(get(*g.transport, 1, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_SYMBOL_RATE, v),
              qam ? STATUS_SUCCESS : STATUS_NOT_FOUND);
    // Bandwidth is on the terrestrial RF tuner table only.
    EXPECT_EQ(get(*g.antenna, 0, KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_BANDWIDTH, v),
              qam ? STATUS_NOT_FOUND : STATUS_SUCCESS);
    graphs.clear();
    TearDown();
  }
}

TEST_F(Factories, NodePropertyForANodeTheTopologyLacksIsRefused) {
  start(1, 1);
  Graph& g = graph(1);
  ULONG v = 0;
  EXPECT_FALSE(NT_SUCCESS(get(*g.antenna, 2, KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED, v)));
  // Without the topology flag the request is no node property: validation refuses it.
  KSP_NODE p{};
  p.Property.Set = KSPROPSETID_BdaFrequencyFilter;
  p.Property.Id = KSPROPERTY_BDA_RF_TUNER_FREQUENCY;
  p.Property.Flags = KSPROPERTY_TYPE_GET;
  EXPECT_FALSE(g.antenna->property(&p, sizeof(p), &v, sizeof(v)).ok());
}

TEST_F(Factories, CaptureFilterInputIntersectsToTheTransportRange) {
  start(1, 1);
  Graph& g = graph(2);
  ASSERT_TRUE(g.input);
  const KSDATAFORMAT& f = g.input->format();
  EXPECT_EQ(f.FormatSize, sizeof(KS_DATARANGE_BDA_TRANSPORT));
  EXPECT_TRUE(IsEqualGUID(f.MajorFormat, KSDATAFORMAT_TYPE_STREAM));
  EXPECT_TRUE(IsEqualGUID(f.SubFormat, KSDATAFORMAT_SUBTYPE_MPEG2_TRANSPORT));
  EXPECT_TRUE(IsEqualGUID(f.Specifier, KSDATAFORMAT_SPECIFIER_BDA_TRANSPORT));
  auto* range = reinterpret_cast<const KS_DATARANGE_BDA_TRANSPORT*>(&f);
  EXPECT_EQ(range->BdaTransportInfo.ulcbPhyiscalPacket, 188u);
  EXPECT_EQ(range->BdaTransportInfo.ulcbPhyiscalFrame, 96256u);
  // The output pin's own range and framing: 512 packets a frame.
  const KSPIN_DESCRIPTOR_EX& out = g.capture->ksFilter()->Descriptor->PinDescriptors[1];
  EXPECT_TRUE(
      IsEqualGUID(out.PinDescriptor.DataRanges[0]->SubFormat, KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT));
  EXPECT_EQ(out.AllocatorFraming->FramingItem[0].FramingRange.Range.MaxFrameSize, 96256u);
  EXPECT_EQ(out.AllocatorFraming->FramingItem[0].Frames, 64u);
}

TEST_F(Factories, TsInputIntersectWithShortBuffers) {
  start(1, 1);
  Graph& g = graph(1);
  const KSPIN_DESCRIPTOR_EX& in = g.capture->ksFilter()->Descriptor->PinDescriptors[0];
  PKSDATARANGE own = in.PinDescriptor.DataRanges[0];
  KSP_PIN pinReq{};
  IRP irp{};
  UCHAR buf[88] = {};
  ULONG size = 0;
  EXPECT_EQ(in.IntersectHandler(g.capture->ksFilter(), &irp, &pinReq, own, own, 0, nullptr, &size),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 88u);
  EXPECT_EQ(in.IntersectHandler(g.capture->ksFilter(), &irp, &pinReq, own, own, 87, buf, &size),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(in.IntersectHandler(g.capture->ksFilter(), &irp, &pinReq, own, own, 88, buf, &size),
            STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(buf, own, 88), 0);
}

// ---- Tuner type change at run time -----------------------------------------------------------------------

TEST_F(Factories, TunerTypeChangeRegistersNewFactoriesAndKeepsOldFiltersWorking) {
  start(1, 1);
  Graph& old = graph(1);
  ASSERT_TRUE(IsEqualGUID(*demodNodeType(*old.tuner), KSNODE_BDA_COFDM_DEMODULATOR));
  BDATuner* oldTuner = device()->tuner(0);
  CTunerDemodType* oldObject = oldTuner->tunerDemod();

  ASSERT_EQ(device()->changeTunerType(4), STATUS_SUCCESS);
  BDATuner* newTuner = device()->tuner(0);
  ASSERT_NE(newTuner, oldTuner);
  EXPECT_EQ(newTuner->tunerType(), 4u);

  // The old filter still tunes through its old object.
  ASSERT_EQ(old.antenna->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(oldTuner->resourceHolds(), 1u);
  EXPECT_EQ(newTuner->resourceHolds(), 0u);
  ASSERT_EQ(startChanges(*old.tuner), STATUS_SUCCESS);
  EXPECT_EQ(put(*old.antenna, 0, KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, 474000),
            STATUS_SUCCESS);
  EXPECT_EQ(oldTuner->tunerDemod(), oldObject);

  // New filters come from the new factory, with the new family's node; the retired factory is gone from
  // the registry.
  Graph& fresh = graph(1);
  ASSERT_TRUE(fresh.tuner);
  EXPECT_TRUE(IsEqualGUID(*demodNodeType(*fresh.tuner), KSNODE_BDA_QAM_DEMODULATOR));
  size_t listed = 0;
  for (auto& t : tuners()) listed += t.openable && channelOf(t, kTunerReference) == 1;
  EXPECT_EQ(listed, 1u);
  EXPECT_EQ(captures().size(), 8u);
  // TearDown removes the card and checks that the pool is empty: old and new tuners are gone.
}

TEST_F(Factories, TunerTypeChangeMapsRefusedTypesAsStartUpDoes) {
  start(1, 3);
  ASSERT_EQ(device()->changeTunerType(2), STATUS_SUCCESS);
  for (ULONG i = 0; i < 8; ++i) {
    ASSERT_NE(device()->tuner(i)->tunerDemod(), nullptr);
    EXPECT_EQ(device()->tuner(i)->tunerType(), 1u);
  }
}

TEST_F(Factories, TunerTypeChangeThatCannotAllocateKeepsTheOldTuners) {
  start(1, 1);
  BDATuner* before = device()->tuner(5);
  host::pool::failNth(7);  // somewhere among the new tuners, their objects and factories
  EXPECT_FALSE(NT_SUCCESS(device()->changeTunerType(4)));
  host::pool::clearFaults();
  EXPECT_EQ(device()->tuner(5), before);
  for (ULONG i = 0; i < 8; ++i) EXPECT_EQ(device()->tuner(i)->tunerType(), 1u);
  Graph& g = graph(6);
  EXPECT_TRUE(g.tuner);
}

}  // namespace
