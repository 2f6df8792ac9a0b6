// Services in the stream: sections reassembled from packets, the tables libdvbv5 parses from them and the
// channel entries it stores, one service cut out of a multiplex, country plans, and finding a channel by
// name.
#include "tools/zadivo/services.h"

#include <gtest/gtest.h>
#include <libdvbv5/dvb-frontend.h>

#include <map>
#include <set>

#include "sim/ts_source.h"
#include "tools/zadivo/dvb_channels.h"
#include "tools/zadivo/scan_plan.h"
#include "tools/zadivo/si.h"
#include "tools/zadivo/ts_analyzer.h"
#include "tools/zadivo/zap.h"

using namespace zadivo::tool;

namespace {

// Two services in the layout the air gives them (video, audio and private data; PCR on the video PID).
sim::TsGenConfig twoServices(sim::SiFamily si, const std::string& secondName) {
  sim::TsGenConfig c;
  c.transportStreamId = 0x0421;
  c.bitrate = 4'000'000;
  c.si = si;
  c.services.clear();
  for (uint16_t k = 0; k < 2; ++k) {
    sim::TsService s;
    s.programNumber = static_cast<uint16_t>(17 + k);
    s.pmtPid = static_cast<uint16_t>(0x100 * (k + 1));
    s.videoPid = s.pcrPid = s.pmtPid + 1;
    s.esPids = {static_cast<uint16_t>(s.pmtPid + 3), static_cast<uint16_t>(s.pmtPid + 2)};
    s.name = k ? secondName : "WZDV-HD";
    s.majorChannel = 31;
    s.minorChannel = static_cast<uint16_t>(k + 1);
    c.services.push_back(s);
  }
  return c;
}

std::vector<uint8_t> stream(const sim::TsGenConfig& c, size_t packets) {
  auto src = sim::makeGeneratedSource(c);
  std::vector<uint8_t> out(packets * kTsPacket);
  src->fill(out.data(), packets);
  return out;
}

std::set<uint16_t> pidsOf(const std::vector<uint8_t>& ts) {
  std::set<uint16_t> pids;
  for (size_t i = 0; i + kTsPacket <= ts.size(); i += kTsPacket)
    pids.insert(static_cast<uint16_t>((ts[i + 1] & 0x1F) << 8 | ts[i + 2]));
  return pids;
}

// The entries libdvbv5 writes, as name -> text of the section.
std::map<std::string, std::string> entries(DvbChannels& file) {
  std::string text, error;
  EXPECT_TRUE(file.text(text, "", &error)) << error;
  std::map<std::string, std::string> out;
  for (size_t at = text.find('['); at != std::string::npos;) {
    const size_t end = text.find('\n', at);
    const size_t next = text.find("\n[", end);
    out[text.substr(at + 1, end - at - 2)] = text.substr(end, next == std::string::npos ? next : next - end);
    at = next == std::string::npos ? next : next + 1;
  }
  return out;
}

}  // namespace

// The tables every family's receivers read, collected from a stream and stored by libdvbv5 as entries that
// carry the service's name, id, PIDs and (ATSC) virtual channel, with the multiplex's delivery keys.
TEST(ToolSi, EachFamilysTablesBecomeOneEntryPerService) {
  struct Case {
    sim::SiFamily si;
    SiKind kind;
    const char* system;
    const char* modulation;  // what tells US cable from ATSC in a channel file
    bool vchannel;
  };
  for (const Case& c : {Case{sim::SiFamily::Dvb, SiKind::Dvb, "DVBT", "", false},
                        Case{sim::SiFamily::Atsc, SiKind::Atsc, "ATSC", "VSB/8", true},
                        Case{sim::SiFamily::AtscCable, SiKind::AtscCable, "DVBC/ANNEX_B", "QAM/256", true}}) {
    SCOPED_TRACE(c.system);
    const std::string second = c.si == sim::SiFamily::Dvb ? "Zadivo Zwei Ä" : "WZDV-SD";
    SiCollector si(c.kind);
    const auto ts = stream(twoServices(c.si, second), 2000);
    // Fed in odd pieces: a table must not depend on where a frame ends.
    for (size_t at = 0; at < ts.size(); at += 7 * kTsPacket)
      si.feed(ts.data() + at, std::min(7 * kTsPacket, ts.size() - at));
    ASSERT_TRUE(si.complete()) << si.missing();
    Tables tables = si.take(static_cast<uint32_t>(dvbDeliverySystem(c.system)));
    ASSERT_TRUE(tables);
    DvbChannels file;
    ChannelEntry mux{"mux", c.system, 575000000, 6000000, 0, -1, c.modulation};
    ASSERT_EQ(file.addServices(*tables, mux, si.utf8Names()), 2u);
    auto got = entries(file);
    ASSERT_EQ(got.size(), 2u);
    const std::string& hd = got["WZDV-HD"];
    EXPECT_NE(hd.find("SERVICE_ID = 17\n"), std::string::npos) << hd;
    EXPECT_NE(hd.find("VIDEO_PID = 257\n"), std::string::npos) << hd;
    EXPECT_NE(hd.find("AUDIO_PID = 258\n"), std::string::npos) << hd;
    EXPECT_NE(hd.find(std::string("DELIVERY_SYSTEM = ") + c.system + "\n"), std::string::npos) << hd;
    EXPECT_NE(hd.find("FREQUENCY = 575000000\n"), std::string::npos) << hd;
    EXPECT_EQ(hd.find("VCHANNEL = 31.1\n") != std::string::npos, c.vchannel) << hd;
    ASSERT_TRUE(got.count(second)) << "names: " << got.begin()->first << "/" << got.rbegin()->first;
    EXPECT_NE(got[second].find("VIDEO_PID = 513\n"), std::string::npos);
  }
}

TEST(ToolSi, WaitsForEveryPmtAndSaysWhatIsMissing) {
  auto ts = stream(twoServices(sim::SiFamily::Dvb, "B"), 2000);
  // Without the second PMT's packets and with one section's packet damaged.
  std::vector<uint8_t> cut;
  bool damaged = false;
  for (size_t i = 0; i < ts.size(); i += kTsPacket) {
    const uint16_t pid = static_cast<uint16_t>((ts[i + 1] & 0x1F) << 8 | ts[i + 2]);
    if (pid == 0x200) continue;
    cut.insert(cut.end(), ts.begin() + i, ts.begin() + i + kTsPacket);
    if (pid == 0x11 && !damaged) cut[cut.size() - kTsPacket + 20] ^= 0x5A, damaged = true;  // fails its CRC
  }
  SiCollector si(SiKind::Dvb);
  si.feed(cut.data(), cut.size());
  EXPECT_TRUE(si.hasPat());
  EXPECT_FALSE(si.complete());
  EXPECT_EQ(si.missing(), "PMT of service 18");
  // As dvbv5-scan, libdvbv5 stores only the services it has a PMT for.
  Tables tables = si.take(SYS_DVBT);
  DvbChannels file;
  EXPECT_EQ(file.addServices(*tables, {"mux", "DVBT", 474000000, 8000000, 0, -1, ""}), 1u);
  EXPECT_EQ(file.names(), std::vector<std::string>{"WZDV-HD"});  // named by an SDT that passed its CRC
}

TEST(ToolSi, DvbC2IsWrittenUnderOurOwnName) {
  DvbChannels file;
  file.addMultiplex({"C2 714", "DVBC2", 714000000, 8000000, 0, 0, ""});
  std::string text, error;
  ASSERT_TRUE(file.text(text, "", &error)) << error;
  EXPECT_NE(text.find("\tDELIVERY_SYSTEM = DVBC2\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\tSTREAM_ID = 0\n"), std::string::npos) << text;
}

// One service out of two: its own PIDs pass as they came, the PAT lists only it, the SDT names only it, and
// every PID of the output keeps its continuity.
TEST(ToolServiceFilter, KeepsOnlyTheServiceWithTablesOfItsOwn) {
  const auto ts = stream(twoServices(sim::SiFamily::Dvb, "Zadivo Zwei"), 6000);
  ServiceFilter f(18);
  std::vector<uint8_t> out;
  for (size_t at = 0; at < ts.size(); at += 512 * kTsPacket)
    f.feed(ts.data() + at, std::min(512 * kTsPacket, ts.size() - at), out);
  ASSERT_TRUE(f.ready());
  EXPECT_EQ(pidsOf(out), (std::set<uint16_t>{0x000, 0x011, 0x200, 0x201, 0x202, 0x203}));
  TsAnalyzer a;
  a.feed(out.data(), out.size());
  EXPECT_EQ(a.continuityErrors(), 0u);
  EXPECT_EQ(a.syncErrors(), 0u);
  // The first packet is the rewritten PAT: one program, 18 on PID 0x200.
  ASSERT_GE(out.size(), kTsPacket);
  const uint8_t* pat = out.data() + 5;
  EXPECT_EQ(out[1] & 0x1F, 0);
  EXPECT_EQ(3 + ((pat[1] & 0x0F) << 8 | pat[2]), 8 + 4 + 4);
  EXPECT_EQ(pat[8] << 8 | pat[9], 18);
  EXPECT_EQ((pat[10] & 0x1F) << 8 | pat[11], 0x200);
  const std::string text(out.begin(), out.end());
  EXPECT_NE(text.find("Zadivo Zwei"), std::string::npos);
  EXPECT_EQ(text.find("WZDV-HD"), std::string::npos);

  ServiceFilter missing(99);
  std::vector<uint8_t> none;
  missing.feed(ts.data(), ts.size(), none);
  EXPECT_FALSE(missing.ready());
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(missing.waitingFor(), "service 99 in the PAT");
}

TEST(ToolServiceFilter, SdtCutToOneServiceOrNothing) {
  auto c = twoServices(sim::SiFamily::Dvb, "Zadivo Zwei");
  std::vector<uint8_t> sdt;
  SectionReader reader([&](uint16_t, const uint8_t* s, size_t len) {
    if (sdt.empty()) sdt.assign(s, s + len);
  });
  reader.watch(0x11);
  const auto ts = stream(c, 500);
  for (size_t i = 0; i < ts.size(); i += kTsPacket) reader.packet(ts.data() + i);
  ASSERT_FALSE(sdt.empty());
  const auto one = sdtOfOne(sdt.data(), sdt.size(), 17);
  ASSERT_FALSE(one.empty());
  const std::string text(one.begin(), one.end());
  EXPECT_NE(text.find("WZDV-HD"), std::string::npos);
  EXPECT_EQ(text.find("Zadivo Zwei"), std::string::npos);
  EXPECT_TRUE(sdtOfOne(sdt.data(), sdt.size(), 99).empty());
  EXPECT_TRUE(sdtOfOne(sdt.data(), 10, 17).empty());  // cut short
}

// ATSC and US cable name a service in the virtual channel table: the recording of one carries that table cut
// to it, announced by a master guide table of the cut size, and names it as a receiver reads it.
TEST(ToolServiceFilter, PsipCutToOneServiceNamesIt) {
  for (auto [si, kind] : {std::pair{sim::SiFamily::Atsc, SiKind::Atsc},
                          std::pair{sim::SiFamily::AtscCable, SiKind::AtscCable}}) {
    SCOPED_TRACE(kind == SiKind::Atsc ? "ATSC" : "J.83B");
    const auto ts = stream(twoServices(si, "WZDV-SD"), 6000);
    ServiceFilter f(18);
    std::vector<uint8_t> out;
    for (size_t at = 0; at < ts.size(); at += 512 * kTsPacket)
      f.feed(ts.data() + at, std::min(512 * kTsPacket, ts.size() - at), out);
    EXPECT_EQ(pidsOf(out), (std::set<uint16_t>{0x000, 0x200, 0x201, 0x202, 0x203, kPsipPid}));
    TsAnalyzer a;
    a.feed(out.data(), out.size());
    EXPECT_EQ(a.continuityErrors(), 0u);

    std::map<uint8_t, std::vector<uint8_t>> psip;  // the last section of each table
    SectionReader reader([&](uint16_t, const uint8_t* s, size_t len) { psip[s[0]].assign(s, s + len); });
    reader.watch(kPsipPid);
    for (size_t i = 0; i < out.size(); i += kTsPacket) reader.packet(out.data() + i);
    ASSERT_EQ(psip.size(), 2u);
    const auto& mgt = psip.at(0xC7);
    const auto& vct = psip.count(0xC8) ? psip.at(0xC8) : psip.at(0xC9);
    ASSERT_GE(mgt.size(), 8u + 3 + 11 + 2 + 4);
    EXPECT_EQ(mgt[9] << 8 | mgt[10], 1);  // one table: the VCT, of the size it now has
    EXPECT_EQ(size_t(mgt[16]) << 24 | mgt[17] << 16 | mgt[18] << 8 | mgt[19], vct.size());
    EXPECT_EQ(vct[9], 1);  // one channel

    SiCollector collector(kind);
    collector.feed(out.data(), out.size());
    ASSERT_TRUE(collector.complete()) << collector.missing();
    const char* system = kind == SiKind::Atsc ? "ATSC" : "DVBC/ANNEX_B";
    Tables tables = collector.take(static_cast<uint32_t>(dvbDeliverySystem(system)));
    DvbChannels file;
    ASSERT_EQ(file.addServices(*tables, {"mux", system, 575000000, 6000000, 0, -1, ""}), 1u);
    auto got = entries(file);
    ASSERT_EQ(got.count("WZDV-SD"), 1u) << got.begin()->first;
    EXPECT_NE(got["WZDV-SD"].find("VCHANNEL = 31.2\n"), std::string::npos) << got["WZDV-SD"];

    EXPECT_TRUE(vctOfOne(vct.data(), vct.size(), 0x0422, 18).empty());  // another multiplex's
    EXPECT_TRUE(vctOfOne(vct.data(), 20, 0x0421, 18).empty());          // cut short
    EXPECT_TRUE(mgtForOne(mgt.data(), 15, 100).empty());
  }
}

TEST(ToolScanPlan, PlansAreMadeOnDemandWhateverTheRange) {
  const ScanPlan huge = rangePlan(1, 1, 4'000'000'000u, 1);
  EXPECT_EQ(huge.size(), 4'000'000'000u);
  EXPECT_EQ(huge.at(huge.size() - 1).frequencyKHz, 4'000'000'000u);
  EXPECT_EQ(huge.at(12345).frequencyKHz, 12346u);
  EXPECT_TRUE(rangePlan(1, 474000, 490000, 0).empty());
}

TEST(ToolScanPlan, CountryPlansUsersRecognise) {
  struct Case {
    int type;
    const char* country;
    std::vector<uint32_t> has, lacks;
    uint32_t firstBandwidth;
  };
  const Case cases[] = {
      {1, "de", {177500, 226500, 474000, 858000}, {866000, 529500}, 7000000},
      {1, "GB", {474000, 858000}, {177500}, 8000000},
      {1, "AU", {177500, 205500, 529500, 816500}, {474000, 858000}, 7000000},
      {5, "JP", {473143, 767143}, {177143, 773143}, 6000000},
      {5, "BR", {177143, 213143, 473143, 803143}, {57143}, 6000000},
      {3, "US", {57000, 69000, 79000, 85000, 177000, 605000}, {75000, 611000}, 6000000},
      // US cable: 5 and 6 off the 6 MHz grid, the 95-99 and 14-22 bands, and on up to the tuner's top.
      {6,
       "US",
       {57000, 79000, 85000, 93000, 123000, 219000, 645000, 651000, 1041000},
       {75000, 81000, 1047000},
       0},
      {4, "DE", {114000, 858000}, {110000}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.country) + " type " + std::to_string(c.type));
    std::string error;
    auto plan = countryPlan(c.type, c.country, &error);
    ASSERT_TRUE(plan) << error;
    for (uint32_t f : c.has) EXPECT_TRUE(plan->contains(f)) << f;
    for (uint32_t f : c.lacks) EXPECT_FALSE(plan->contains(f)) << f;
    if (c.firstBandwidth) {
      EXPECT_EQ(plan->front().bandwidthsHz.front(), c.firstBandwidth);
    }
  }
  EXPECT_TRUE(defaultPlan(6).contains(79000));  // the default J.83B plan is the US cable one
  std::string error;
  EXPECT_FALSE(countryPlan(3, "DE", &error));
  EXPECT_EQ(error, "no ATSC channel plan for country 'DE' (plans: CA KR MX US)");
}

TEST(ToolZap, ChannelsByNameVirtualChannelOrCaseAndTheClosestOffered) {
  std::string error;
  auto sections = readSections(
      "[Zadivo One]\nSERVICE_ID = 17\n[ZADV-TV]\nVCHANNEL = 31.1\n[zadivo one]\nSERVICE_ID = 18\n"
      "[Zadivo Kids]\nSERVICE_ID = 19\n[Other Station]\nSERVICE_ID = 20\n",
      "c.conf", &error);
  ASSERT_TRUE(sections) << error;
  EXPECT_EQ(sectionsNamed(*sections, "Zadivo One"), (std::vector<size_t>{0, 2}));
  EXPECT_EQ(sectionsNamed(*sections, "31.1"), (std::vector<size_t>{1}));
  EXPECT_EQ(sectionsNamed(*sections, "ZADIVO KIDS"), (std::vector<size_t>{3}));
  EXPECT_TRUE(sectionsNamed(*sections, "Zadivo").empty());
  EXPECT_EQ(closestNames(*sections, "kids", 2), (std::vector<std::string>{"Zadivo Kids", "ZADV-TV"}));
  EXPECT_EQ(closestNames(*sections, "Zadivo On", 1), (std::vector<std::string>{"Zadivo One"}));
}

// Each service of a file as written, our private DVB-C2 lines included; dvbv5's "no stream" is none.
TEST(ToolZap, ReadsEveryEntryWithItsTuningKeys) {
  std::string error;
  auto sections = readSections(
      "# a scan\n[Eins]\n\tSERVICE_ID = 17\n\tDELIVERY_SYSTEM = DVBT\n\tFREQUENCY = 474000000\n"
      "\tSTREAM_ID = 4294967295\n[Zwei]\n\tDELIVERY_SYSTEM = DVBT\n\tFREQUENCY = 474000000\n"
      "#zadivo [C2]\n#zadivo \tDELIVERY_SYSTEM = DVBC2\n#zadivo \tFREQUENCY = 714000000\n"
      "#zadivo \tSTREAM_ID = 3\n",
      "c.conf", &error);
  ASSERT_TRUE(sections) << error;
  ASSERT_EQ(sections->size(), 3u);  // a multiplex's services stay apart
  auto one = entryOf((*sections)[0], "c.conf", &error);
  ASSERT_TRUE(one) << error;
  EXPECT_EQ(one->frequencyHz, 474000000u);
  EXPECT_EQ(one->streamId, -1);
  auto c2 = entryOf((*sections)[2], "c.conf", &error);
  ASSERT_TRUE(c2) << error;
  EXPECT_EQ(c2->deliverySystem, "DVBC2");
  EXPECT_EQ(c2->streamId, 3);
  EXPECT_FALSE(readSections("FREQUENCY = 1\n", "c.conf", &error));
  EXPECT_EQ(error, "c.conf:1: 'FREQUENCY' before any [section]");
  EXPECT_FALSE(entryOf({"x", {{"FREQUENCY", "47x"}}}, "c.conf", &error));
  EXPECT_FALSE(entryOf({"x", {{"STREAM_ID", "65536"}, {"FREQUENCY", "1"}}}, "c.conf", &error));
}
