// A machine whose air carries low-bitrate streams (so a reader keeps up on a loaded machine), with helpers to
// tune a channel through its tuner filter, run its capture pin and check the frames it reads: whole packets,
// the multiplex's own PAT (by transport stream id) and PMT, continuity of every PID across frames.
#pragma once
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../bda/bda_fixture.h"
#include "platform/host/clock.h"
#include "platform/host/ks/ks_host.h"
#include "sim/air.h"
#include "sim/ts_util.h"

namespace capture_test {

using bda_test::BdaTest;
using host::client::Graph;

inline const GUID& kStats = KSPROPSETID_BdaSignalStats;
inline const GUID& kFreq = KSPROPSETID_BdaFrequencyFilter;

// What a run of frames showed.
struct TsCheck {
  size_t frames = 0;
  size_t badFrames = 0;   // not 96256 bytes
  size_t syncLosses = 0;  // packets without 0x47
  size_t ccErrors = 0;    // continuity breaks on payload packets
  std::set<int> tsids;    // transport stream ids of the PATs seen
  std::set<uint16_t> pmtPids;
  bool pmtSeen = false;
  std::map<uint16_t, int> lastCc;

  void frame(const std::vector<UCHAR>& f) {
    ++frames;
    if (f.size() != kTsFrameBytes) {
      ++badFrames;
      return;
    }
    for (size_t off = 0; off < f.size(); off += 188) packet(f.data() + off);
  }
  void packet(const uint8_t* p) {
    namespace ts = sim::ts;
    if (p[0] != ts::kSync) {
      ++syncLosses;
      return;
    }
    const uint16_t pid = ts::pid(p);
    if (pid == ts::kNullPid) return;
    if (ts::hasPayload(p)) {
      auto it = lastCc.find(pid);
      if (it != lastCc.end() && ((it->second + 1) & 0xF) != ts::continuity(p)) ++ccErrors;
      lastCc[pid] = ts::continuity(p);
    }
    if (!ts::payloadStart(p) || !ts::hasPayload(p)) return;
    const size_t po = ts::payloadOffset(p);
    if (po >= 188) return;
    const uint8_t* s = p + po + 1 + p[po];  // skip the pointer field
    if (s + 8 > p + 188) return;
    if (pid == ts::kPatPid && s[0] == 0x00) {
      tsids.insert((s[3] << 8) | s[4]);
      const size_t sectionLength = ((s[1] & 0x0F) << 8) | s[2];
      for (size_t i = 8; i + 4 <= 3 + sectionLength - 4 && s + i + 4 <= p + 188; i += 4) {
        const int program = (s[i] << 8) | s[i + 1];
        if (program != 0) pmtPids.insert(static_cast<uint16_t>(((s[i + 2] & 0x1F) << 8) | s[i + 3]));
      }
    } else if (pmtPids.count(pid) && s[0] == 0x02) {
      pmtSeen = true;
    }
  }
};

class CaptureTest : public BdaTest {
 protected:
  // Every multiplex of the default air at 1 Mbit/s.
  void startSlow(int cards = 1) {
    host::setAssertHandler([](const char* report) { ADD_FAILURE() << report; });
    auto muxes = sim::Air::makeDefault()->multiplexes();
    for (auto& m : muxes) m.bitrate = 1000000;
    zadivo::MachineConfig cfg = bda_test::machineConfig();
    cfg.cards = cards;
    cfg.air = std::make_shared<sim::Air>(muxes);
    machine = std::make_unique<zadivo::Machine>(cfg);
    ASSERT_EQ(machine->driverError(), "");
    uint8_t dvbt = 1;
    for (int i = 0; i < cards; ++i) machine->card(i).eeprom().setContents(0x94, &dvbt, 1);
    ASSERT_EQ(machine->startAll(), STATUS_SUCCESS);
  }

  // Transport stream id the air gives the DVB-T multiplex at kHz.
  int tsidAt(ULONG kHz) {
    auto mux = machine->air().find(sim::DeliverySystem::DVBT, uint64_t(kHz) * 1000, 100000);
    EXPECT_TRUE(mux.has_value());
    return mux ? machine->air().generatorConfig(*mux).transportStreamId : -1;
  }

  static NTSTATUS tune(Graph& g, ULONG kHz, ULONG bandwidthMHz) {
    NTSTATUS s = startChanges(*g.tuner);
    if (NT_SUCCESS(s)) s = put(*g.antenna, 0, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, kHz);
    if (NT_SUCCESS(s)) s = put(*g.antenna, 0, kFreq, KSPROPERTY_BDA_RF_TUNER_BANDWIDTH, bandwidthMHz);
    if (NT_SUCCESS(s)) s = commitChanges(*g.tuner);
    return s;
  }
  static bool waitLocked(Graph& g) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
      ULONG v = 0;
      if (get(*g.transport, 1, kStats, KSPROPERTY_BDA_SIGNAL_LOCKED, v) == STATUS_SUCCESS && v == 1)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // Reads n frames (each within a generous bound) into the check.
  static void readFrames(Graph& g, size_t n, TsCheck& check) {
    std::vector<UCHAR> frame;
    for (size_t i = 0; i < n; ++i) {
      NTSTATUS s = g.output->readFrame(frame, std::chrono::seconds(20));
      ASSERT_EQ(s, STATUS_SUCCESS) << "frame " << i;
      check.frame(frame);
    }
  }
  // Reads until a frame carries a PAT of the given stream, then n more frames into a fresh check.
  static void readStreamOf(Graph& g, int tsid, size_t n, TsCheck& check) {
    std::vector<UCHAR> frame;
    for (int i = 0; i < 200; ++i) {
      TsCheck probe;
      ASSERT_EQ(g.output->readFrame(frame, std::chrono::seconds(20)), STATUS_SUCCESS);
      probe.frame(frame);
      if (probe.tsids.count(tsid) && probe.tsids.size() == 1) {
        readFrames(g, n, check);
        return;
      }
    }
    FAIL() << "stream " << tsid << " never arrived";
  }
  // The antenna pin past ACQUIRE (so the filter tunes at commit), the tune, then the capture side running.
  void tuneAndRun(Graph& g, ULONG kHz, ULONG bandwidthMHz) {
    ASSERT_EQ(g.antenna->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(g.antenna->setState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(g.transport->setState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(tune(g, kHz, bandwidthMHz), STATUS_SUCCESS);
    ASSERT_TRUE(waitLocked(g));
    ASSERT_EQ(g.input->setState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(g.output->setState(KSSTATE_RUN), STATUS_SUCCESS);
  }
  std::string traces() { return host::trace::text(); }
};

// A started machine of slow streams, for the tests of one file or several.
class Capture : public CaptureTest {
 protected:
  void SetUp() override {
    CaptureTest::SetUp();
    startSlow();
  }
};

}  // namespace capture_test
