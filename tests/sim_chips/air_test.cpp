// The air: channel-file parsing, the built-in default, lookups.
#include "sim/air.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

namespace {

using sim::Air;
using sim::DeliverySystem;

std::string parseError(const std::string& text) {
  std::string err;
  auto air = Air::parse(text, &err, "chan.conf");
  EXPECT_EQ(air, nullptr) << "accepted:\n" << text;
  return err;
}

TEST(AirParse, ReadsAChannelFile) {
  std::string err;
  auto air = Air::parse(R"(# written by a scan
[Mux A]
	DELIVERY_SYSTEM = DVBT
	FREQUENCY = 474000000
	BANDWIDTH_HZ = 7000000
	MODULATION = QAM/64
	RF_LEVEL_DBM = -61.5
	CNR_DB = 23.25
	SERVICE_NAME = Channel A, Channel A+1 , Ä Radio

[Mux B]
DELIVERY_SYSTEM = DVBC/ANNEX_B
FREQUENCY = 555000000
SYMBOL_RATE = 5056941
BITRATE_BPS = 26970350
[T2 plp 4]
DELIVERY_SYSTEM = DVBT2
FREQUENCY = 538000000
STREAM_ID = 4
)",
                        &err);
  ASSERT_TRUE(air) << err;
  auto v = air->multiplexes();
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0].name, "Mux A");
  EXPECT_EQ(v[0].system, DeliverySystem::DVBT);
  EXPECT_EQ(v[0].frequencyHz, 474000000u);
  EXPECT_EQ(v[0].bandwidthHz, 7000000u);
  EXPECT_DOUBLE_EQ(v[0].rfLevelDbm, -61.5);
  EXPECT_DOUBLE_EQ(v[0].cnrDb, 23.25);
  EXPECT_EQ(v[0].serviceNames, (std::vector<std::string>{"Channel A", "Channel A+1", "Ä Radio"}));
  EXPECT_GT(v[0].bitrate, 0u);
  EXPECT_EQ(v[1].system, DeliverySystem::DVBC_ANNEX_B);
  EXPECT_EQ(v[1].symbolRate, 5056941u);
  EXPECT_EQ(v[1].bitrate, 26970350u);
  EXPECT_EQ(v[1].serviceNames,
            std::vector<std::string>{"Mux B"});  // the section names it when nothing else does
  EXPECT_EQ(v[2].streamId, 4);
  EXPECT_EQ(v[2].bandwidthHz, 8000000u);  // default for the standard
  EXPECT_NE(v[0].transportStreamId, v[1].transportStreamId);
}

TEST(AirParse, BadLinesAreReportedWithTheirLineNumber) {
  EXPECT_EQ(parseError("[a]\nDELIVERY_SYSTEM = DVBT\nFREQUENCY 474000000\n"),
            "chan.conf:3: expected 'KEY = value' or '[name]', got 'FREQUENCY 474000000'");
  EXPECT_EQ(parseError("FREQUENCY = 1\n"), "chan.conf:1: 'FREQUENCY' before any [section]");
  EXPECT_EQ(parseError("\n[a]\nDELIVERY_SYSTEM = DVBS2\n"),
            "chan.conf:3: DELIVERY_SYSTEM: not a delivery system of this card 'DVBS2'");
  EXPECT_EQ(parseError("[a]\nDELIVERY_SYSTEM = DVBT\nFREQUENCY = 47x\n"),
            "chan.conf:3: FREQUENCY: not a frequency in Hz '47x'");
  EXPECT_EQ(parseError("[a]\nDELIVERY_SYSTEM = DVBT\nFREQUENCY = 474000000\nFREQUENCY = 482000000\n"),
            "chan.conf:4: FREQUENCY given twice in [a] with different values");
  EXPECT_EQ(parseError("[a]\nDELIVERY_SYSTEM = DVBT\nFREQUENCY = 474000000\nBANDWIDTH_HZ = 1712000\n"),
            "chan.conf:4: [a] BANDWIDTH_HZ 1712000 not valid for DVBT (it takes 8000000, 7000000, 6000000 or "
            "5000000)");
  EXPECT_EQ(parseError("[a]\nDELIVERY_SYSTEM = DVBT\n[b]\nDELIVERY_SYSTEM = DVBT\nFREQUENCY = 474000000\n"),
            "chan.conf:1: [a] has no FREQUENCY");
  EXPECT_EQ(parseError("[a\n"), "chan.conf:1: section header without closing ']'");
  EXPECT_EQ(parseError("# nothing\n"), "chan.conf:1: no multiplex in the file");
  EXPECT_EQ(parseError("[a]\nDELIVERY_SYSTEM = DVBT2\nFREQUENCY = 474000000\nSTREAM_ID = 65536\n"),
            "chan.conf:4: STREAM_ID: not a stream id 0..65535 (or 4294967295 for none) '65536'");
  // A message quotes a little of what it refuses, printably.
  EXPECT_EQ(parseError("[a]\n" + std::string(1 << 20, 'x') + "\n"),
            "chan.conf:2: expected 'KEY = value' or '[name]', got '" + std::string(48, 'x') + "...'");
  EXPECT_EQ(parseError(std::string("\x01\0\x7f", 3)),
            "chan.conf:1: expected 'KEY = value' or '[name]', got '\\x01\\x00\\x7f'");
  EXPECT_EQ(parseError("[a]\nDELIVERY_SYSTEM = DVBT\nFREQUENCY = 474000000\nTS_FILE = /nonexistent/x.ts\n"),
            "chan.conf:4: TS_FILE: /nonexistent/x.ts: No such file or directory");
  const std::string mux = "[a]\nDELIVERY_SYSTEM = DVBT\nFREQUENCY = 474000000\n";
  EXPECT_EQ(parseError(mux + "SERVICE_NAME = One,,Two\n"),
            "chan.conf:4: SERVICE_NAME: service names must be 1..64 characters 'One,,Two'");
  EXPECT_EQ(parseError(mux + "SERVICE_NAME = One, Two, One\n"),
            "chan.conf:4: SERVICE_NAME: service One named twice 'One, Two, One'");
  std::string many = "S0";
  for (int i = 1; i <= 16; ++i) many += ", S" + std::to_string(i);
  EXPECT_EQ(parseError(mux + "SERVICE_NAME = " + many + "\n"),
            "chan.conf:4: SERVICE_NAME: more than 16 services '" + many.substr(0, 48) + "...'");
}

TEST(AirParse, TakesWhatScanToolsWriteAndScanTablesHold) {
  std::string err;
  std::vector<std::string> warnings;
  auto air = Air::parse(R"([channel 14]
	DELIVERY_SYSTEM = ISDBT
	BANDWIDTH_HZ = 6000000
	FREQUENCY = 473142857
	INVERSION = AUTO
	ISDBT_LAYERA_MODULATION = QAM/AUTO
	INVERSION = AUTO
[scanned]
	SERVICE_ID = 1025
	PID_06 = 1026
	DELIVERY_SYSTEM = DVBT2
	FREQUENCY = 538000000
	STREAM_ID = 4294967295
	FAVOURITE = yes
[again]
	DELIVERY_SYSTEM = DVBT2
	FREQUENCY = 538000000
	FAVOURITE = no
[and again]
	DELIVERY_SYSTEM = DVBT2
	FREQUENCY = 538000000
[out of reach]
	DELIVERY_SYSTEM = DVBT2
	FREQUENCY = 1645032704
[in kHz]
	DELIVERY_SYSTEM = DVBT
	FREQUENCY = 474000
[plp on DVB-T]
	DELIVERY_SYSTEM = DVBT
	FREQUENCY = 474000000
	STREAM_ID = 0
	BANDWIDTH_HZ = 0
[us cable]
	DELIVERY_SYSTEM = DVBC/ANNEX_B
	FREQUENCY = 57000000
	MODULATION = QAM/64
#zadivo [c2]
#zadivo 	DELIVERY_SYSTEM = DVBC2
#zadivo 	FREQUENCY = 714000000
# [commented out]
# 	DELIVERY_SYSTEM = DVBC2
)",
                        &err, "t.conf", "", 1, &warnings);
  ASSERT_TRUE(air) << err;
  auto v = air->multiplexes();
  ASSERT_EQ(v.size(), 5u);
  EXPECT_EQ(v[0].frequencyHz, 473142857u);
  EXPECT_EQ(v[1].streamId, sim::kNoStreamId);
  EXPECT_EQ(v[2].streamId, sim::kNoStreamId);
  EXPECT_EQ(v[2].bandwidthHz, 8000000u);  // libdvbv5's "automatic": the standard's default
  EXPECT_EQ(v[3].symbolRate, 5056941u);   // what J.83B 64-QAM runs at
  EXPECT_EQ(v[4].system, DeliverySystem::DVBC2);
  EXPECT_EQ(
      warnings,
      (std::vector<std::string>{
          "t.conf:7: INVERSION given twice in [channel 14]",
          "t.conf:14: unknown key 'FAVOURITE' ignored",
          "t.conf:22: [out of reach] FREQUENCY 1645032704 is outside 1 MHz .. 1200 MHz; ignored",
          "t.conf:25: [in kHz] FREQUENCY 474000 is outside 1 MHz .. 1200 MHz (FREQUENCY is in Hz, not kHz); "
          "ignored",
          "t.conf:28: [plp on DVB-T] STREAM_ID is not used by DVBT; ignored",
          "t.conf:15: [again] repeats [scanned] (same system, frequency and stream id); ignored (and 1 more)",
      }));
}

// What cannot be used is refused when the air is loaded, not when a tuner first meets it.
TEST(AirLoad, RefusesWhatIsNotAChannelFileOrAStream) {
  const std::string dir = ::testing::TempDir() + "/air_load";
  std::filesystem::create_directories(dir + "/a_directory");
  auto write = [&](const std::string& name, const std::string& body) {
    std::ofstream(dir + "/" + name, std::ios::binary) << body;
    return dir + "/" + name;
  };
  write("empty.ts", "");
  write("garbage.ts", std::string(188 * 4, 'x'));
  const std::string huge = write("huge.conf", "");
  std::filesystem::resize_file(huge, std::uintmax_t{1} << 30);  // sparse: endless zeros as /dev/zero gives
  const std::string head = "[a]\nDELIVERY_SYSTEM = DVBT\nFREQUENCY = 474000000\nTS_FILE = ";
  const struct {
    std::string path, error;
  } rows[] = {
      {dir + "/a_directory", dir + "/a_directory: is a directory"},
      {huge, huge + ": larger than 4 MiB: not a channel file"},
      {write("dir.conf", head + "a_directory\n"), ":4: TS_FILE: " + dir + "/a_directory: is a directory"},
      {write("empty.conf", head + "empty.ts\n"), ":4: TS_FILE: " + dir + "/empty.ts: no transport packet"},
      {write("garbage.conf", head + "garbage.ts\n"),
       ":4: TS_FILE: " + dir + "/garbage.ts: no transport packet"},
  };
  for (const auto& row : rows) {
    std::string err;
    EXPECT_EQ(Air::load(row.path, &err), nullptr) << row.path;
    EXPECT_NE(err.find(row.error), std::string::npos) << err;
  }
  std::filesystem::remove_all(dir);
}

TEST(AirParse, LoadResolvesTsFilesBesideTheChannelFile) {
  std::string dir = ::testing::TempDir();
  {
    std::ofstream ts(dir + "/h5_mux.ts", std::ios::binary);
    std::string pkt(188, '\0');
    pkt[0] = 0x47;
    pkt[1] = 0x1F;
    pkt[2] = static_cast<char>(0xFF);
    pkt[3] = 0x10;
    for (int i = 0; i < 10; ++i) ts << pkt;
    std::ofstream conf(dir + "/h5_air.conf");
    conf << "[file]\nDELIVERY_SYSTEM = ISDBT\nFREQUENCY = 557143000\nTS_FILE = h5_mux.ts\nBITRATE_BPS = "
            "1000000\n";
  }
  std::string err;
  auto air = Air::load(dir + "/h5_air.conf", &err);
  ASSERT_TRUE(air) << err;
  auto mux = air->multiplexes().at(0);
  EXPECT_EQ(mux.tsFile, dir + "/h5_mux.ts");
  auto src = air->makeSource(mux, &err);
  ASSERT_TRUE(src) << err;
  uint8_t buf[188];
  src->fill(buf, 1);
  EXPECT_EQ(buf[0], 0x47);
  EXPECT_EQ(Air::load(dir + "/h5_missing.conf", &err), nullptr);
  EXPECT_NE(err.find("cannot open"), std::string::npos);
  std::remove((dir + "/h5_mux.ts").c_str());
  std::remove((dir + "/h5_air.conf").c_str());
}

TEST(AirDefault, CoversEveryStandardWithDistinctStreams) {
  auto air = Air::makeDefault();
  auto v = air->multiplexes();
  std::set<DeliverySystem> systems;
  std::set<uint32_t> dvbtBandwidths;
  std::set<uint16_t> tsids;
  std::set<std::string> names;
  size_t serviceCount = 0;
  for (const auto& m : v) {
    systems.insert(m.system);
    if (m.system == DeliverySystem::DVBT) dvbtBandwidths.insert(m.bandwidthHz);
    tsids.insert(m.transportStreamId);
    names.insert(m.serviceNames.begin(), m.serviceNames.end());
    serviceCount += m.serviceNames.size();
    EXPECT_GE(m.cnrDb, sim::systemLimits(m.system).minCnrDb) << m.name;
    EXPECT_GT(m.bitrate, 0u);
  }
  EXPECT_EQ(systems.size(), 8u);
  EXPECT_EQ(dvbtBandwidths, (std::set<uint32_t>{5000000, 6000000, 7000000, 8000000}));
  EXPECT_EQ(tsids.size(), v.size());
  EXPECT_EQ(names.size(), serviceCount);
  EXPECT_GT(serviceCount, v.size());  // some multiplexes carry several services
  EXPECT_EQ(air->streamIds(DeliverySystem::DVBT2, 538000000, 0), (std::vector<int32_t>{0, 1}));
  // Generated streams carry the multiplex's identity and are reproducible from the seed.
  auto a = air->generatorConfig(v[0]);
  EXPECT_EQ(a.transportStreamId, v[0].transportStreamId);
  ASSERT_EQ(a.services.size(), v[0].serviceNames.size());
  for (size_t k = 0; k < a.services.size(); ++k) {
    EXPECT_EQ(a.services[k].name, v[0].serviceNames[k]);
    for (size_t j = 0; j < k; ++j) {
      EXPECT_NE(a.services[k].programNumber, a.services[j].programNumber);
      EXPECT_NE(a.services[k].pmtPid, a.services[j].pmtPid);
    }
  }
  EXPECT_EQ(Air::makeDefault(7)->generatorConfig(v[0]).seed, Air::makeDefault(7)->generatorConfig(v[0]).seed);
  EXPECT_NE(Air::makeDefault(7)->generatorConfig(v[0]).seed, Air::makeDefault(8)->generatorConfig(v[0]).seed);
}

TEST(AirLookup, FindsByFrequencyWithinToleranceSystemAndStream) {
  auto air = Air::makeDefault();
  EXPECT_EQ(air->find(DeliverySystem::DVBT, 474200000, 250000)->name, "DVB-T 474 MHz");
  EXPECT_FALSE(air->find(DeliverySystem::DVBT, 474300000, 250000));
  EXPECT_FALSE(air->find(DeliverySystem::DVBT2, 474000000, 250000));  // same frequency, other system
  EXPECT_EQ(air->find(DeliverySystem::DVBC2, 714000000, 0)->name, "DVB-C2 714 MHz");
  EXPECT_EQ(air->find(DeliverySystem::DVBT2, 538000000, 0, 1)->serviceNames.at(0), "Zadivo UHD");
  EXPECT_FALSE(air->find(DeliverySystem::DVBT2, 538000000, 0, 5));
  EXPECT_DOUBLE_EQ(air->rfLevelAt(477900000), -45.0);  // inside the 8 MHz channel
  EXPECT_DOUBLE_EQ(air->rfLevelAt(490000000), Air::kNoiseFloorDbm);
  EXPECT_TRUE(air->setCnr("DVB-T 474 MHz", 12.0));
  EXPECT_DOUBLE_EQ(air->find(DeliverySystem::DVBT, 474000000, 0)->cnrDb, 12.0);
  EXPECT_FALSE(air->setRfLevel("no such mux", -10));
}

}  // namespace
