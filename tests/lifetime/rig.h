// The lifetime and failure tests' view of a card: tuning and capture from capture_fixture.h, the tuner-type
// member of the extended set, and counts of what the card has registered.
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/host/ks/ks_host.h"
#include "tests/capture/capture_fixture.h"
#include "tests/standards/support.h"
#include "zadivo/bdatuner.h"
#include "zadivo/sony_cxd6802/sony_cxd6802.h"

namespace lifetime_test {

using capture_test::CaptureTest;
using capture_test::kFreq;
using capture_test::kStats;
using host::client::Graph;

// Extended members: ISDB-C's stream id, the board's tuner type.
inline constexpr ULONG kInputStream = 14;
inline constexpr ULONG kDemodMode = 60;

using standards_test::waitFor;

// The multiplex of the default air each tuner type is tried on.
inline const char* multiplexFor(ULONG type) {
  switch (type) {
    case 3:
      return "ATSC 575 MHz";
    case 4:
      return "DVB-C 346 MHz";
    case 5:
      return "ISDB-T 563.143 MHz";
    case 6:
      return "J.83B 555 MHz";
    case 7:
      return "DVB-C2 714 MHz";
    case 8:
      return "ISDB-C 375 MHz TS 1";
    default:
      return "DVB-T 474 MHz";
  }
}

class Rig : public CaptureTest {
 protected:
  // Every multiplex of the default air at a bitrate that comes to about 1 Mbit/s of real time whatever the
  // time scale (a reader keeps up under the sanitizers too); card 0 with the tuner-type byte given, started
  // unless asked not to.
  void startWithType(UCHAR type, bool start = true) {
    host::setAssertHandler([](const char* report) { ADD_FAILURE() << report; });
    auto muxes = sim::Air::makeDefault()->multiplexes();
    for (auto& m : muxes) m.bitrate = static_cast<uint32_t>(1e6 * host::clock::scale());
    zadivo::MachineConfig cfg = bda_test::machineConfig();
    cfg.air = std::make_shared<sim::Air>(muxes);
    machine = std::make_unique<zadivo::Machine>(cfg);
    ASSERT_EQ(machine->driverError(), "");
    machine->card(0).eeprom().setContents(0x94, &type, 1);
    if (start) {
      ASSERT_EQ(machine->startAll(), STATUS_SUCCESS);
    }
  }
  sim::Multiplex multiplex(const std::string& name) {
    for (const sim::Multiplex& m : machine->air().multiplexes())
      if (m.name == name) return m;
    ADD_FAILURE() << "no multiplex " << name;
    return {};
  }
  // A tune as an application of the family sends it: frequency, then bandwidth (terrestrial, C2) or symbol
  // rate (cable), ISDB-C's stream through the extended set, then the commit.
  static NTSTATUS tuneTo(Graph& g, const sim::Multiplex& m, ULONG type) {
    const bool cable = type == 4 || type == 6 || type == 8;
    NTSTATUS s = startChanges(*g.tuner);
    if (NT_SUCCESS(s))
      s = put(*g.antenna, 0, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY,
              static_cast<ULONG>(m.frequencyHz / 1000));
    if (NT_SUCCESS(s) && cable)
      s = put(*g.transport, 1, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_SYMBOL_RATE,
              m.symbolRate / 1000);
    if (NT_SUCCESS(s) && !cable)
      s = put(*g.antenna, 0, kFreq, KSPROPERTY_BDA_RF_TUNER_BANDWIDTH, m.bandwidthHz / 1000000);
    if (NT_SUCCESS(s) && type == 8) s = extended(*g.antenna, kInputStream, m.streamId);
    if (NT_SUCCESS(s)) s = commitChanges(*g.tuner);
    return s;
  }

  // The channel's capture side runs until one whole frame of packets came through, then stops again.
  static void streamsAFrame(Graph& g, ULONG channel) {
    EXPECT_EQ(g.input->setState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(g.output->setState(KSSTATE_RUN), STATUS_SUCCESS);
    std::vector<UCHAR> frame;
    EXPECT_EQ(g.output->readFrame(frame, std::chrono::seconds(20)), STATUS_SUCCESS) << "channel " << channel;
    capture_test::TsCheck check;
    check.frame(frame);
    EXPECT_EQ(check.badFrames + check.syncLosses, 0u) << "channel " << channel;
    EXPECT_EQ(g.output->setState(KSSTATE_STOP), STATUS_SUCCESS);
  }
  // The step many tests end on: the channel tunes its family's multiplex (the family as a tuner type), locks,
  // and one whole frame of clean packets comes through its capture side.
  void tunesLocksAndStreams(Graph& g, ULONG type, ULONG channel) {
    ASSERT_EQ(g.antenna->setState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(tuneTo(g, multiplex(multiplexFor(type)), type), STATUS_SUCCESS);
    ASSERT_TRUE(waitLocked(g)) << "channel " << channel;
    streamsAFrame(g, channel);
  }
  // A set of an extended member on the RF tuner node, its value in the data's first bytes (little-endian).
  static NTSTATUS extended(host::client::Pin& antenna, ULONG id, ULONG value) {
    KSP_NODE req{};
    req.Property.Set = kPropSetExtended;
    req.Property.Id = id;
    req.Property.Flags = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY;
    req.NodeId = 0;
    UCHAR data[8] = {static_cast<UCHAR>(value), static_cast<UCHAR>(value >> 8)};
    return antenna.property(&req, sizeof req, data, sizeof data).status;
  }
  static NTSTATUS setTunerType(host::client::Pin& antenna, UCHAR type) {
    return extended(antenna, kDemodMode, type);
  }
  UCHAR storedTunerType() { return machine->card(0).eeprom().contents()[0x94]; }
  // Tuner types the card runs, one per channel (0 for a channel without a tuner).
  std::vector<ULONG> runningTypes() {
    std::vector<ULONG> types;
    for (ULONG i = 0; i < 8; ++i) types.push_back(device()->tuner(i) ? device()->tuner(i)->tunerType() : 0);
    return types;
  }
  // Openable registrations of a category on card 0, and how many of them name each channel (1..8).
  std::vector<size_t> listedPerChannel(const GUID& category, const GUID (&references)[kInstanceCount]) {
    std::vector<size_t> perChannel(kInstanceCount + 1, 0);
    for (auto& info : host::client::enumerate(category, machineId()))
      if (info.openable) ++perChannel[bda_test::channelOf(info, references)];
    return perChannel;
  }
  // Every channel listed exactly once as a tuner and as a capture filter.
  bool everyChannelListedOnce() {
    std::vector<size_t> once(kInstanceCount + 1, 1);
    once[0] = 0;
    return listedPerChannel(KSCATEGORY_BDA_NETWORK_TUNER, kTunerReference) == once &&
           listedPerChannel(KSCATEGORY_BDA_RECEIVER_COMPONENT, kCaptureReference) == once;
  }
  bool nothingListed() {
    return host::client::enumerate(KSCATEGORY_BDA_NETWORK_TUNER, machineId()).empty() &&
           host::client::enumerate(KSCATEGORY_BDA_RECEIVER_COMPONENT, machineId()).empty();
  }
  // A start brings up all eight channels, or fails leaving no factory, no registration and nothing in the
  // pool but the device object.
  void expectWholeOrNothing(NTSTATUS start) {
    if (NT_SUCCESS(start)) {
      EXPECT_TRUE(everyChannelListedOnce());
      return;
    }
    EXPECT_TRUE(nothingListed());
    EXPECT_EQ(host::ks::liveFactories(), 0u);
    EXPECT_LE(host::pool::outstandingBlocks(), 1u) << host::pool::report();
  }
};

}  // namespace lifetime_test
