// The tool's pure helpers: argument values, transport-stream analysis, channel files, atomic outputs, the
// state directory's images and locks, statistics formatting and scan plans.
#include <gtest/gtest.h>
#include <libdvbv5/dvb-file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "sim/air.h"
#include "sim/backing_file.h"
#include "tools/zadivo/args.h"
#include "tools/zadivo/atomic_file.h"
#include "tools/zadivo/channel_file.h"
#include "tools/zadivo/dvb_channels.h"
#include "tools/zadivo/frontend_client.h"
#include "tools/zadivo/report.h"
#include "tools/zadivo/scan_plan.h"
#include "tools/zadivo/state_dir.h"
#include "tools/zadivo/ts_analyzer.h"
#include "tools/zadivo/zap.h"

using namespace zadivo::tool;
namespace fs = std::filesystem;

namespace {

fs::path tempDir() {
  char tmpl[] = "/tmp/zadivo_tool_unitXXXXXX";
  return mkdtemp(tmpl);
}

// A packet with payload (or adaptation only), with the given counter.
std::vector<uint8_t> packet(uint16_t pid, uint8_t cc, bool payload = true, bool discontinuity = false) {
  std::vector<uint8_t> p(kTsPacket, 0xFF);
  p[0] = kTsSync;
  p[1] = static_cast<uint8_t>(pid >> 8);
  p[2] = static_cast<uint8_t>(pid);
  const bool adaptation = !payload || discontinuity;
  p[3] = static_cast<uint8_t>((adaptation ? 0x20 : 0) | (payload ? 0x10 : 0) | (cc & 0xF));
  if (adaptation) {
    p[4] = payload ? 1 : 183;
    p[5] = discontinuity ? 0x80 : 0x00;
  }
  return p;
}

void append(std::vector<uint8_t>& s, const std::vector<uint8_t>& p) { s.insert(s.end(), p.begin(), p.end()); }

}  // namespace

TEST(ToolArgs, ChannelsWithAndWithoutCard) {
  std::string e;
  EXPECT_EQ(parseChannel("A", &e), (ChannelRef{0, 0}));
  EXPECT_EQ(parseChannel("h", &e), (ChannelRef{0, 7}));
  EXPECT_EQ(parseChannel("1:C", &e), (ChannelRef{1, 2}));
  for (const char* bad : {"I", "", "AB", "x:A", "1:", ":A", "-1:A", "1:I"}) {
    e.clear();
    EXPECT_FALSE(parseChannel(bad, &e)) << bad;
    EXPECT_FALSE(e.empty()) << bad;
  }
  EXPECT_EQ(channelName({0, 4}), "E");
  EXPECT_EQ(channelName({2, 1}), "2:B");
}

TEST(ToolArgs, MacAddressesAndBytes) {
  std::string e;
  auto m = parseMac("02:5A:44:00:0a:FF", &e);
  ASSERT_TRUE(m);
  EXPECT_EQ(formatMac(*m), "02:5a:44:00:0a:ff");
  EXPECT_TRUE(parseMac("02-5a-44-00-0a-ff", &e));
  for (const char* bad :
       {"02:5a:44:00:0a", "02:5a:44:00:0a:ff:00", "g2:5a:44:00:0a:ff", "025a4400:0a:ff", "zz"})
    EXPECT_FALSE(parseMac(bad, &e)) << bad;

  EXPECT_EQ(parseByte("0xd8", &e), 0xD8);
  EXPECT_EQ(parseByte("200", &e), 200);
  EXPECT_FALSE(parseByte("0x100", &e));
  EXPECT_FALSE(parseByte("0x", &e));
  auto list = parseByteList("0x01,2,0xff", &e);
  ASSERT_TRUE(list);
  EXPECT_EQ(*list, (std::vector<uint8_t>{1, 2, 0xFF}));
  EXPECT_FALSE(parseByteList("1,,2", &e));
  EXPECT_FALSE(parseByteList("1,300", &e));
}

// Hz is suspected only where a broadcast frequency in Hz would be: far above the tuner's range.
TEST(ToolArgs, FrequencyRangeAndTheHzHint) {
  EXPECT_EQ(frequencyProblem(474000), "");
  EXPECT_EQ(frequencyProblem(1100000), "1100000 kHz is outside the tuner's 1000 .. 1048575 kHz");
  EXPECT_EQ(frequencyProblem(474000000),
            "474000000 kHz is outside the tuner's 1000 .. 1048575 kHz (474000000 looks like Hz, the unit of "
            "channel files: 474000 kHz?)");
  std::string e;
  EXPECT_FALSE(parseNumberIn("2e6", 1, 1048575, "kHz", &e));
  EXPECT_EQ(e, "'2e6' is not a number in 1 .. 1048575 kHz");
  EXPECT_FALSE(parseNumberIn("0", 0.001, 1e9, "s", &e));
  EXPECT_EQ(e, "'0' is not a number in 0.001 .. 1000000000 s");
}

TEST(ToolTs, CountsPacketsAcrossSplitFeeds) {
  std::vector<uint8_t> s;
  for (int i = 0; i < 40; ++i) append(s, packet(0x100, static_cast<uint8_t>(i)));
  TsAnalyzer a;
  // Odd piece sizes split packets everywhere.
  for (size_t off = 0; off < s.size();) {
    size_t n = std::min<size_t>(s.size() - off, 77);
    a.feed(s.data() + off, n);
    off += n;
  }
  EXPECT_EQ(a.packets(), 40u);
  EXPECT_EQ(a.bytes(), s.size());
  EXPECT_EQ(a.continuityErrors(), 0u);
  EXPECT_EQ(a.syncErrors(), 0u);
}

// A stream's rate by its own clock: the PCRs of the first PID carrying one, across the 33-bit wrap; another
// PID's PCRs and a stream without any give nothing wrong.
TEST(ToolTs, RateFromThePcrs) {
  constexpr uint64_t kWrap = (uint64_t{1} << 33) * 300;
  auto pcrPacket = [](uint16_t pid, uint64_t pcr) {
    std::vector<uint8_t> p = packet(pid, 0, false);
    p[5] = 0x10;
    const uint64_t base = pcr / 300, ext = pcr % 300;
    const uint8_t b[6] = {uint8_t(base >> 25),
                          uint8_t(base >> 17),
                          uint8_t(base >> 9),
                          uint8_t(base >> 1),
                          uint8_t((base & 1) << 7 | 0x7E | ext >> 8),
                          uint8_t(ext)};
    std::memcpy(&p[6], b, 6);
    return p;
  };
  struct Case {
    uint64_t bitrate, firstPcr;
    bool pcrs;
  } cases[] = {{24'000'000, 27'000'000, true}, {81'216'000, kWrap - 5'000'000, true}, {5'000'000, 0, false}};
  for (const Case& c : cases) {
    std::vector<uint8_t> s;
    for (uint64_t i = 0; i < 20'000; ++i) {
      const uint64_t pcr = (c.firstPcr + i * kTsPacket * 8 * 27'000'000 / c.bitrate) % kWrap;
      if (!c.pcrs || i % 97)
        append(s, packet(0x300, static_cast<uint8_t>(i)));
      else
        append(s, pcrPacket(i % 2 ? 0x200 : 0x100, i % 2 ? i : pcr));
    }
    PcrRate r;
    for (size_t off = 0; off < s.size(); off += 512 * kTsPacket)
      r.feed(s.data() + off, std::min<size_t>(s.size() - off, 512 * kTsPacket));
    EXPECT_EQ(r.bitrate(), c.pcrs ? c.bitrate : 0) << c.bitrate;
  }
}

TEST(ToolTs, ContinuityRules) {
  std::vector<uint8_t> s;
  append(s, packet(0x100, 14));
  append(s, packet(0x100, 15));
  append(s, packet(0x100, 0));         // wraps
  append(s, packet(0x100, 0));         // one duplicate is legal
  append(s, packet(0x100, 0, false));  // adaptation only: counter holds
  append(s, packet(0x100, 1));
  append(s, packet(0x200, 7));   // another PID has its own counter
  append(s, packet(0x1FFF, 3));  // null packets are not checked
  append(s, packet(0x1FFF, 9));
  append(s, packet(0x100, 9, true, true));  // flagged discontinuity
  append(s, packet(0x100, 10));
  TsAnalyzer ok;
  ok.feed(s.data(), s.size());
  EXPECT_EQ(ok.continuityErrors(), 0u);
  EXPECT_EQ(ok.pidCount(), 3u);

  std::vector<uint8_t> bad;
  append(bad, packet(0x100, 1));
  append(bad, packet(0x100, 3));         // lost one
  append(bad, packet(0x100, 3));         // duplicate: fine once
  append(bad, packet(0x100, 3));         // twice: error
  append(bad, packet(0x100, 5, false));  // adaptation-only packet that moved the counter
  TsAnalyzer b;
  b.feed(bad.data(), bad.size());
  EXPECT_EQ(b.continuityErrors(), 3u);
}

TEST(ToolTs, SyncLossIsCountedOnceAndRecovered) {
  std::vector<uint8_t> s;
  append(s, packet(0x100, 0));
  s.insert(s.end(), {0x00, 0x11, 0x22});  // garbage
  append(s, packet(0x100, 1));
  append(s, packet(0x100, 2));
  std::vector<uint8_t> t(s.begin(), s.end());
  t[0] = 0x48;  // first packet without sync
  TsAnalyzer a;
  a.feed(s.data(), s.size());
  EXPECT_EQ(a.syncErrors(), 1u);
  EXPECT_EQ(a.packets(), 3u);
  EXPECT_EQ(a.continuityErrors(), 0u);
  TsAnalyzer b;
  b.feed(t.data(), t.size());
  EXPECT_EQ(b.syncErrors(), 1u);
  EXPECT_EQ(b.packets(), 2u);
}

TEST(ToolTs, TransportErrorIndicator) {
  auto p = packet(0x100, 0);
  p[1] |= 0x80;
  TsAnalyzer a;
  a.feed(p.data(), p.size());
  EXPECT_EQ(a.transportErrors(), 1u);
}

// What a scan writes, the one channel-file reader takes back; libdvbv5 takes all but the DVB-C2 entry, which
// it could not name and so must not see.
TEST(ToolChannelFile, WritesWhatBothReadersTake) {
  std::vector<ChannelEntry> in = {
      {"DVBT2 538000 kHz stream 1", "DVBT2", 538000000, 8000000, 0, 1, ""},
      {"DVB-C", "DVBC/ANNEX_A", 346000000, 0, 6900000, -1, ""},
      {"DVBC2 714000 kHz stream 0", "DVBC2", 714000000, 8000000, 0, 0, ""},
      {"J.83B", "DVBC/ANNEX_B", 555000000, 0, 5360537, -1, "QAM/256"},
  };
  const std::string text = formatChannelFile(in);
  EXPECT_NE(text.find("[DVBT2 538000 kHz stream 1]\n\tDELIVERY_SYSTEM = DVBT2\n\tFREQUENCY = 538000000\n"
                      "\tBANDWIDTH_HZ = 8000000\n\tSTREAM_ID = 1\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("STREAM_ID = -1"), std::string::npos);
  std::string e;
  std::vector<std::string> warnings;
  auto air = sim::Air::parse(text, &e, "t", "", 1, &warnings);
  ASSERT_TRUE(air) << e;
  EXPECT_TRUE(warnings.empty());
  const auto out = air->multiplexes();
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0].name, in[0].name);
  EXPECT_EQ(out[0].streamId, 1);
  EXPECT_EQ(out[1].symbolRate, 6900000u);
  EXPECT_EQ(out[2].system, sim::DeliverySystem::DVBC2);
  EXPECT_EQ(out[2].frequencyHz, 714000000u);
  EXPECT_EQ(out[3].system, sim::DeliverySystem::DVBC_ANNEX_B);
  const fs::path dir = tempDir();
  const std::string conf = (dir / "scan.conf").string();
  std::ofstream(conf) << text;
  dvb_file* file = dvb_read_file_format(conf.c_str(), SYS_UNDEFINED, FILE_DVBV5);
  ASSERT_NE(file, nullptr) << text;
  std::vector<uint32_t> frequencies;
  for (dvb_entry* entry = file->first_entry; entry; entry = entry->next) {
    uint32_t f = 0;
    dvb_retrieve_entry_prop(entry, DTV_FREQUENCY, &f);
    frequencies.push_back(f);
  }
  dvb_file_free(file);
  EXPECT_EQ(frequencies, (std::vector<uint32_t>{538000000, 346000000, 555000000}));
  fs::remove_all(dir);
}

// zap's reader and the air's (behind --air and --initial) say the same, with the line, about the same file.
TEST(ToolChannelFile, EveryReaderSaysTheSameAboutAFile) {
  const std::string head = "[a]\n\tDELIVERY_SYSTEM = DVBT\n";
  struct Case {
    std::string text, error;
  } cases[] = {
      {head, "c.conf:1: [a] has no FREQUENCY"},
      {head + "\tFREQUENCY = abc\n", "c.conf:3: FREQUENCY: not a frequency in Hz 'abc'"},
      {head + "\tFREQUENCY = 474000000\nwhat is this\n",
       "c.conf:4: expected 'KEY = value' or '[name]', got 'what is this'"},
      {"# dvb-apps\nT 474000000 8MHz 2/3 NONE QAM64 8k 1/8 NONE\n",
       "c.conf:2: a channel file in the CHANNEL format; zadivo reads dvbv5 files: convert it with "
       "dvb-format-convert -I CHANNEL -O DVBV5 c.conf channels.conf"},
      {"C 346000000 6900000 NONE QAM64\n",
       "c.conf:1: a channel file in the CHANNEL format; zadivo reads dvbv5 "
       "files: convert it with dvb-format-convert -I CHANNEL -O DVBV5 c.conf "
       "channels.conf"},
      {"Eins:474000000:INVERSION_AUTO:BANDWIDTH_8_MHZ:FEC_AUTO:0:0:0\n",
       "c.conf:1: a channel file in the ZAP format; zadivo reads dvbv5 files: convert it with "
       "dvb-format-convert "
       "-I ZAP -s DVBT -O DVBV5 c.conf channels.conf"},
      {"KZDV:57028615:8VSB:49:52:3\n",
       "c.conf:1: a channel file in the ZAP format; zadivo reads dvbv5 files: "
       "convert it with dvb-format-convert -I ZAP -s ATSC -O DVBV5 c.conf "
       "channels.conf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string zapError, airError;
    auto sections = readSections(c.text, "c.conf", &zapError);
    for (size_t i = 0; sections && i < sections->size(); ++i)
      if (!entryOf((*sections)[i], "c.conf", &zapError)) sections.reset();
    EXPECT_FALSE(sections);
    EXPECT_EQ(zapError, c.error);
    EXPECT_FALSE(sim::Air::parse(c.text, &airError, "c.conf"));
    EXPECT_EQ(airError, c.error);
  }
  // A key given twice warns in both; with another value it is refused.
  const std::string twice = head + "\tFREQUENCY = 474000000\n\tFREQUENCY = 474000000\n";
  std::vector<std::string> zapWarnings, airWarnings;
  std::string error;
  EXPECT_TRUE(readSections(twice, "c.conf", &error, &zapWarnings));
  EXPECT_TRUE(sim::Air::parse(twice, &error, "c.conf", "", 1, &airWarnings));
  EXPECT_EQ(zapWarnings, std::vector<std::string>{"c.conf:4: FREQUENCY given twice in [a]"});
  EXPECT_EQ(airWarnings, zapWarnings);
  EXPECT_FALSE(readSections(twice + "\tFREQUENCY = 482000000\n", "c.conf", &error));
  EXPECT_EQ(error, "c.conf:5: FREQUENCY given twice in [a] with different values");
}

// Every name comes back from libdvbv5 as it was written, and as our reader reads it.
TEST(ToolChannelFile, SectionNamesSurviveALibdvbv5RoundTrip) {
  const std::vector<std::pair<std::string, std::string>> names = {
      {"\"Quoted\" [x]", "\"Quoted\" (x)"},
      {"Zadivo One", "Zadivo One"},
      {"Ünïcödé ТВ", "Ünïcödé ТВ"},
      {"two\nlines", "two lines"},
      {"  spaced ", "spaced"},
      {"]", ")"},
      {"\x01", "unnamed"},
  };
  DvbChannels file;
  for (const auto& [name, written] : names) file.addMultiplex({name, "DVBT", 474000000, 8000000, 0, -1, ""});
  std::string text, error, renamed;
  ASSERT_TRUE(file.text(text, "", &error, &renamed)) << error;
  EXPECT_EQ(
      renamed,
      "5 names hold what a dvbv5 section header cannot keep (it ends at ']'): '\"Quoted\" [x]' is written "
      "as '\"Quoted\" (x)'");
  const fs::path dir = tempDir();
  const std::string conf = (dir / "scan.conf").string();
  std::ofstream(conf) << text;
  dvb_file* read = dvb_read_file_format(conf.c_str(), SYS_UNDEFINED, FILE_DVBV5);
  ASSERT_NE(read, nullptr) << text;
  std::vector<std::string> back;
  for (dvb_entry* e = read->first_entry; e; e = e->next) back.push_back(e->channel ? e->channel : "");
  dvb_file_free(read);
  fs::remove_all(dir);
  auto ours = readSections(text, "scan.conf", &error);
  ASSERT_TRUE(ours) << error;
  ASSERT_EQ(back.size(), names.size()) << text;
  ASSERT_EQ(ours->size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(back[i], names[i].second);
    EXPECT_EQ((*ours)[i].name, names[i].second);
  }
}

// Names in another case match beyond ASCII; a number no name matches is a service id.
TEST(ToolZap, NamesFoldCaseBeyondAsciiAndNumbersAreServiceIds) {
  std::string error;
  auto sections = readSections(
      "[Ünïcödé ТВ]\nSERVICE_ID = 17\nFREQUENCY = 1\n[Straße]\nSERVICE_ID = 18\nFREQUENCY = 1\n"
      "[ΣΟΦΟΣ]\nSERVICE_ID = 19\nFREQUENCY = 1\n[7]\nSERVICE_ID = 20\nFREQUENCY = 1\n"
      "[\xffZwei]\nSERVICE_ID = 23\nFREQUENCY = 1\n",
      "c.conf", &error);
  ASSERT_TRUE(sections) << error;
  struct Case {
    const char* name;
    std::vector<size_t> found;
  } cases[] = {
      {"ünïcödé тв", {0}}, {"ÜNÏCÖDÉ ТВ", {0}}, {"STRASSE", {1}}, {"σοφος", {2}},  // final sigma folds too
      {"17", {0}},         {"7", {3}},          {"20", {3}},      {"21", {}},
      {"\xff\xfe", {}},    {"\xffZWEI", {4}},  // no UTF-8: folded in ASCII
  };
  for (const Case& c : cases) EXPECT_EQ(sectionsNamed(*sections, c.name), c.found) << c.name;
  EXPECT_EQ(sectionsWithServiceId(*sections, 7), std::vector<size_t>{});
  EXPECT_EQ(closestNames(*sections, "ünï", 1), std::vector<std::string>{"Ünïcödé ТВ"});
}

// One check of a bandwidth and a symbol rate for the options and the channel files.
TEST(ToolScanPlan, WhatAFamilyTakes) {
  struct Case {
    int type;
    uint32_t hz;
    uint64_t sps;
    const char* bandwidth;
    const char* symbolRate;
  } cases[] = {
      {1, 9000000, 0, "5, 6, 7 or 8 MHz", ""},
      {1, 3000000, 6900000, "5, 6, 7 or 8 MHz", ""},  // DVB-T uses no symbol rate
      {4, 9000000, 6900000, "", ""},                  // cable channels set no bandwidth
      {4, 0, 1, "", "1000 .. 7200 kS/s"},
      {6, 0, 5360537, "", ""},
      {8, 0, 999999, "", "1000 .. 7200 kS/s"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bandwidthProblem(c.type, c.hz), c.bandwidth) << c.type << " " << c.hz;
    EXPECT_EQ(symbolRateProblem(c.type, c.sps), c.symbolRate) << c.type << " " << c.sps;
  }
}

TEST(ToolAtomicFile, CompleteOrAbsent) {
  const fs::path dir = tempDir();
  const std::string target = (dir / "out.ts").string();
  std::string e;
  {
    AtomicFile f;
    ASSERT_TRUE(f.open(target, &e)) << e;
    ASSERT_TRUE(f.write("abc", 3, &e));
    EXPECT_FALSE(fs::exists(target));  // not before the commit
    EXPECT_TRUE(fs::exists(f.tempPath()));
  }  // dropped without commit
  EXPECT_TRUE(fs::is_empty(dir));

  {
    std::ofstream(target) << "old";
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    AtomicFile f;
    ASSERT_TRUE(f.open(target, &e));
    ASSERT_TRUE(f.write("new!", 4, &e));
    ASSERT_TRUE(f.commit(&e)) << e;
  }
  std::string back;
  ASSERT_TRUE(readFile(target, back, 4, &e));
  EXPECT_EQ(back, "new!");
  EXPECT_EQ(fs::status(target).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);  // kept
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  EXPECT_FALSE(readFile(target, back, 3, &e));
  EXPECT_EQ(e, target + " is larger than 3 bytes");

  AtomicFile nowhere;
  EXPECT_FALSE(nowhere.open((dir / "missing" / "x.ts").string(), &e));
  EXPECT_NE(e.find("missing"), std::string::npos);
  AtomicFile directory;
  EXPECT_FALSE(directory.open(dir.string(), &e));
  EXPECT_EQ(e, dir.string() + " is a directory");
  EXPECT_FALSE(readFile((dir / "none").string(), back, 10, &e));
  fs::remove_all(dir);
}

// A name as long as the system allows keeps its temporary file within NAME_MAX; a second writer of one path,
// even in this process (flock locks belong to the open file), is refused while the first writes.
TEST(ToolAtomicFile, LongNamesAndOneWriterAtATime) {
  const fs::path dir = tempDir();
  std::string e;
  for (size_t length : {1u, 244u, 245u, 255u}) {
    const std::string target = (dir / std::string(length, 'n')).string();
    AtomicFile f;
    ASSERT_TRUE(f.open(target, &e)) << length << ": " << e;
    EXPECT_LE(fs::path(f.tempPath()).filename().string().size(), 255u);
    ASSERT_TRUE(f.write("x", 1, &e));
    ASSERT_TRUE(f.commit(&e)) << e;
    EXPECT_EQ(fs::file_size(target), 1u);
  }
  // Names that share a long beginning do not share a temporary name.
  EXPECT_NE(temporaryPrefix(std::string(250, 'a') + "1"), temporaryPrefix(std::string(250, 'a') + "2"));
  const std::string target = (dir / "same.ts").string();
  AtomicFile first, second;
  ASSERT_TRUE(first.open(target, &e)) << e;
  EXPECT_FALSE(second.open(target, &e, "recorded"));
  EXPECT_EQ(e, target + " is being recorded by another zadivo process");
  ASSERT_TRUE(first.commit(&e)) << e;
  EXPECT_TRUE(second.open(target, &e)) << e;  // the first is done
  fs::remove_all(dir);
}

// A link is written through, and what is not a regular file is written into: neither is replaced.
TEST(ToolAtomicFile, WritesThroughLinksAndIntoWhatIsNotAFile) {
  const fs::path dir = tempDir();
  fs::create_directory(dir / "real");
  fs::create_symlink("real/target.ts", dir / "link.ts");  // dangling until written
  fs::create_symlink("link.ts", dir / "link2.ts");
  std::string e;
  for (int round = 0; round < 2; ++round) {
    AtomicFile f;
    ASSERT_TRUE(f.open((dir / "link2.ts").string(), &e)) << e;
    ASSERT_TRUE(f.write("data", 4, &e));
    ASSERT_TRUE(f.commit(&e)) << e;
    EXPECT_TRUE(fs::is_symlink(dir / "link2.ts"));
    EXPECT_TRUE(fs::is_symlink(dir / "link.ts"));
    EXPECT_EQ(fs::file_size(dir / "real" / "target.ts"), 4u);
  }

  const fs::path fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string got;
  std::thread reader([&] {
    std::ifstream in(fifo, std::ios::binary);
    got.assign(std::istreambuf_iterator<char>(in), {});
  });
  {
    AtomicFile f;
    ASSERT_TRUE(f.open(fifo.string(), &e)) << e;  // waits for the reader
    EXPECT_TRUE(f.tempPath().empty());
    ASSERT_TRUE(f.write("through the pipe", 16, &e));
    ASSERT_TRUE(f.commit(&e)) << e;
  }
  reader.join();
  EXPECT_EQ(got, "through the pipe");
  EXPECT_EQ(fs::status(fifo).type(), fs::file_type::fifo);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 4);  // nothing beside
  fs::remove_all(dir);
}

TEST(ToolStateDir, FreshImagesHaveTypeOneAndDistinctMacs) {
  std::set<std::string> macs;
  for (int card = 0; card < 3; ++card) {
    auto img = freshEeprom(card);
    EXPECT_EQ(img[kTunerTypeOffset], 1);
    for (int i = 1; i <= 8; ++i) {
      Mac m;
      memcpy(m.data(), &img[i * 0x10], 6);
      EXPECT_EQ(m[0] & 0x03, 0x02) << "locally administered unicast";
      macs.insert(formatMac(m));
    }
  }
  EXPECT_EQ(macs.size(), 24u);

  const fs::path dir = tempDir() / "a" / "b";
  std::string e;
  ASSERT_TRUE(openStateDir(dir.string(), 2, StateUse::kRead, &e)) << e;
  std::vector<uint8_t> image;
  ASSERT_EQ(sim::loadImage((dir / "card1.eeprom").string(), kEepromSize, image), sim::LoadResult::kLoaded);
  EXPECT_EQ(image[0x20 + 5], 2);
  // An existing image is kept as it is.
  image[kTunerTypeOffset] = 4;
  ASSERT_TRUE(sim::replaceImage((dir / "card1.eeprom").string(), image.data(), image.size(), &e));
  ASSERT_TRUE(openStateDir(dir.string(), 2, StateUse::kWrite, &e));
  ASSERT_EQ(sim::loadImage((dir / "card1.eeprom").string(), kEepromSize, image), sim::LoadResult::kLoaded);
  EXPECT_EQ(image[kTunerTypeOffset], 4);
  // A file where the directory should be.
  std::ofstream((dir / "file").string()) << "x";
  EXPECT_FALSE(openStateDir((dir / "file").string(), 1, StateUse::kRead, &e));
  // A link to nothing where an image should be: neither blank nor replaced.
  fs::remove(dir / "card1.eeprom");
  fs::create_symlink("nowhere", dir / "card1.eeprom");
  EXPECT_FALSE(openStateDir(dir.string(), 2, StateUse::kWrite, &e));
  EXPECT_EQ(e.rfind((dir / "card1.eeprom").string() + " is a symbolic link to nothing", 0), 0u) << e;
  EXPECT_TRUE(fs::is_symlink(dir / "card1.eeprom"));
  fs::remove_all(dir.parent_path().parent_path());
}

// Readers share a card's lock, a writer holds it alone: in one process as across processes (flock locks
// belong to the open file, so two opens here compete like two tools).
TEST(ToolStateDir, WritersExcludeEveryoneReadersOnlyWriters) {
  const fs::path dir = tempDir();
  std::string e;
  auto reader = openStateDir(dir.string(), 1, StateUse::kRead, &e);
  ASSERT_TRUE(reader) << e;
  EXPECT_TRUE(openStateDir(dir.string(), 1, StateUse::kRead, &e)) << e;
  EXPECT_FALSE(openStateDir(dir.string(), 1, StateUse::kWrite, &e));
  EXPECT_EQ(e, "card 0's images in " + dir.string() + " are in use by another zadivo process (" +
                   dir.string() + "/card0.lock)");
  reader.reset();
  auto writer = openStateDir(dir.string(), 1, StateUse::kWrite, &e);
  ASSERT_TRUE(writer) << e;
  EXPECT_FALSE(openStateDir(dir.string(), 1, StateUse::kRead, &e));
  writer.reset();
  EXPECT_TRUE(openStateDir(dir.string(), 1, StateUse::kRead, &e)) << e;
  fs::remove_all(dir);
}

TEST(ToolReport, FiguresAsLinuxUsersReadThem) {
  // -45.20 dBm as the driver reports it: hundredths, 16-bit two's complement, zero-extended.
  SignalStats s{true, true, static_cast<uint16_t>(-4520), 45};
  EXPECT_DOUBLE_EQ(strengthDbm(s.strength), -45.20);
  EXPECT_NEAR(cnrDb(45), 29.49, 0.01);  // 30 dB gives 45
  EXPECT_EQ(femonLine(s), "Lock    Signal= -45.20dBm C/N= 29.49dB Quality= 45");
  s.locked = false;
  EXPECT_EQ(femonLine(s), "No lock Signal= -45.20dBm C/N= --");
  Json j;
  addStats(j, s);
  EXPECT_EQ(j.str(),
            "{\"present\":true,\"locked\":false,\"signal_dbm\":-45.20,\"cnr_db\":null,\"quality\":45,"
            "\"strength_raw\":61016}");
  EXPECT_EQ(jsonString("a\"b\\\n\x01"), "\"a\\\"b\\\\\\n\\u0001\"");
}

TEST(ToolReport, TunerTypesAndFamilies) {
  EXPECT_EQ(effectiveTunerType(0), 1);
  EXPECT_EQ(effectiveTunerType(2), 1);
  EXPECT_EQ(effectiveTunerType(9), 1);
  EXPECT_EQ(effectiveTunerType(7), 7);
  EXPECT_STREQ(familyName(2), "DVB-T/T2");
  EXPECT_STREQ(familyName(6), "J.83B");
  CaptureSummary c{"A", "a.ts", 1000, 188000, 2.0, 0, 0};
  EXPECT_EQ(summaryLine(c),
            "A: 1000 packets, 188000 bytes, 2.00 s, 0.75 Mbit/s, 0 continuity errors, 0 sync errors");
  c.continuityErrors = 1;  // lost packets must not read like the usual zero
  EXPECT_EQ(summaryLine(c),
            "A: 1000 packets, 188000 bytes, 2.00 s, 0.75 Mbit/s, 1 CONTINUITY ERRORS (packets "
            "lost), 0 sync errors");
}

TEST(ToolScanPlan, RastersCoverTheUsualChannels) {
  auto has = [](const ScanPlan& p, uint32_t khz) {
    for (uint64_t i = 0; i < p.size(); ++i)
      if (p.at(i).frequencyKHz == khz) return true;
    return false;
  };
  auto t = defaultPlan(1);
  for (uint32_t f : {177500u, 226500u, 474000u, 538000u, 858000u}) EXPECT_TRUE(has(t, f)) << f;
  EXPECT_EQ(t.front().bandwidthsHz.front(), 7000000u);  // band III is 7 MHz first
  EXPECT_TRUE(t.front().symbolRatesKsps.empty());
  EXPECT_TRUE(has(defaultPlan(4), 346000));
  EXPECT_TRUE(has(defaultPlan(6), 555000));
  EXPECT_TRUE(has(defaultPlan(5), 557143));
  EXPECT_TRUE(has(defaultPlan(8), 375000));
  EXPECT_TRUE(has(defaultPlan(3), 575000));
  EXPECT_TRUE(has(defaultPlan(7), 714000));
  EXPECT_FALSE(defaultPlan(4).front().symbolRatesKsps.empty());
  EXPECT_EQ(rangePlan(1, 474000, 490000, 8000).size(), 3u);
  EXPECT_TRUE(rangePlan(1, 474000, 490000, 0).empty());

  // An initial file's own setting is tried first; duplicates collapse.
  std::vector<ChannelEntry> init = {{"a", "DVBT", 602000000, 6000000, 0, -1, ""},
                                    {"b", "DVBT", 602000000, 0, 0, 1, ""}};
  auto p = initialPlan(1, init);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p.at(0).bandwidthsHz.front(), 6000000u);
  EXPECT_EQ(p.at(0).bandwidthsHz.size(), 4u);
}

TEST(ToolFrontEnd, PlpReplyStaysInsideTheRecord) {
  uint8_t reply[260] = {};
  reply[0] = 2;
  reply[4] = 0;
  reply[5] = 1;
  EXPECT_EQ(parsePlpReply(reply, sizeof reply), (std::vector<uint8_t>{0, 1}));
  reply[0] = 0xFF;
  reply[1] = 0xFF;  // a count beyond the record
  EXPECT_EQ(parsePlpReply(reply, sizeof reply).size(), 255u);
  EXPECT_EQ(parsePlpReply(reply, 10).size(), 6u);
  EXPECT_TRUE(parsePlpReply(reply, 3).empty());
}
