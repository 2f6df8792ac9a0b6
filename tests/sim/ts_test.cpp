// Transport-stream sources: the generator's packet structure, PSI tables, PCR timing and bitrate fill, and
// the file replay.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "sim/ts_source.h"
#include "sim/ts_util.h"

namespace {

using sim::kTsPacket;
namespace ts = sim::ts;

std::vector<uint8_t> generate(sim::TsSource& src, size_t packets) {
  std::vector<uint8_t> out(packets * kTsPacket);
  // Odd chunk sizes: the stream must not depend on how the DMA cuts it.
  size_t done = 0, chunk = 1;
  while (done < packets) {
    size_t n = std::min(chunk, packets - done);
    src.fill(out.data() + done * kTsPacket, n);
    done += n;
    chunk = chunk * 3 % 257 + 1;
  }
  return out;
}

struct Section {
  uint16_t pid;
  size_t packet;  // index of the packet where it started
  std::vector<uint8_t> bytes;
};

// Reassembles PSI sections on the given PIDs (pointer field, sections spanning packets).
std::vector<Section> sections(const std::vector<uint8_t>& s, const std::vector<uint16_t>& pids) {
  std::vector<Section> out;
  std::map<uint16_t, Section> open;
  for (size_t i = 0; i * kTsPacket < s.size(); ++i) {
    const uint8_t* p = s.data() + i * kTsPacket;
    uint16_t pid = ts::pid(p);
    if (std::find(pids.begin(), pids.end(), pid) == pids.end()) continue;
    size_t off = ts::payloadOffset(p);
    if (ts::payloadStart(p)) {
      off += 1 + p[off];
      open[pid] = Section{pid, i, {}};
    } else if (!open.count(pid)) {
      continue;
    }
    Section& sec = open[pid];
    sec.bytes.insert(sec.bytes.end(), p + off, p + kTsPacket);
    if (sec.bytes.size() >= 3) {
      size_t len = 3 + (((sec.bytes[1] & 0x0F) << 8) | sec.bytes[2]);
      if (sec.bytes.size() >= len) {
        sec.bytes.resize(len);
        out.push_back(sec);
        open.erase(pid);
      }
    }
  }
  return out;
}

TEST(TsUtil, Crc32Mpeg2KnownValue) {
  const char* s = "123456789";
  EXPECT_EQ(ts::crc32(reinterpret_cast<const uint8_t*>(s), 9), 0x0376E6E7u);
}

TEST(TsUtil, WriterRefusesToOverrun) {
  uint8_t buf[5] = {0, 0, 0, 0, 0x77};
  ts::Writer w(buf, 4);
  EXPECT_EQ(w.u16(0x1234), 2u);
  EXPECT_EQ(w.u32(0xAABBCCDD), 0u);
  EXPECT_FALSE(w.ok());
  EXPECT_EQ(w.u8(1), 0u);  // stays failed
  EXPECT_EQ(w.size(), 2u);
  EXPECT_EQ(buf[4], 0x77);
}

class GeneratorTest : public ::testing::Test {
 protected:
  GeneratorTest() {
    cfg.bitrate = 4'000'000;
    cfg.payloadBitrate = 1'000'000;
    cfg.transportStreamId = 0x0421;
    sim::TsService second;
    second.programNumber = 7;
    second.pmtPid = 0x200;
    second.pcrPid = 0x210;
    second.esPids = {0x201, 0x202, 0x203};
    second.name = "Zweites Programm";
    cfg.services.push_back(second);
    auto src = sim::makeGeneratedSource(cfg);
    EXPECT_EQ(src->bitrate(), cfg.bitrate);
    stream = generate(*src, kPackets);
  }
  static constexpr size_t kPackets = 8000;  // about 3 s at 4 Mbit/s
  sim::TsGenConfig cfg;
  std::vector<uint8_t> stream;
};

TEST_F(GeneratorTest, SyncAndContinuityPerPid) {
  std::map<uint16_t, int> last;
  for (size_t i = 0; i < kPackets; ++i) {
    const uint8_t* p = stream.data() + i * kTsPacket;
    ASSERT_EQ(p[0], 0x47) << i;
    ASSERT_EQ(p[1] & 0x80, 0) << "transport error set at " << i;
    uint16_t pid = ts::pid(p);
    if (pid == ts::kNullPid) continue;
    int cc = ts::continuity(p);
    if (last.count(pid)) {
      int want = ts::hasPayload(p) ? (last[pid] + 1) & 0xF : last[pid];
      ASSERT_EQ(cc, want) << "pid " << pid << " packet " << i;
    }
    last[pid] = cc;
    if (ts::hasAdaptation(p)) {
      ASSERT_LE(p[4], 183) << i;
    }
  }
  for (uint16_t pid : {0x000, 0x011, 0x100, 0x101, 0x102, 0x200, 0x201, 0x202, 0x203, 0x210})
    EXPECT_TRUE(last.count(pid)) << "pid " << pid << " never seen";
}

TEST_F(GeneratorTest, TablesParseWithValidCrcAndRepeat) {
  auto secs = sections(stream, {0x000, 0x011, 0x100, 0x200});
  std::map<uint16_t, std::vector<size_t>> when;
  for (const Section& s : secs) {
    ASSERT_EQ(ts::crc32(s.bytes.data(), s.bytes.size()), 0u) << "bad CRC on pid " << s.pid;
    when[s.pid].push_back(s.packet);
  }
  // About every 100 ms of stream: 3 s gives around 30 of each.
  for (auto& [pid, at] : when) {
    EXPECT_GE(at.size(), 28u) << pid;
    for (size_t i = 1; i < at.size(); ++i) {
      double gapMs = double(at[i] - at[i - 1]) * 1504.0 / double(cfg.bitrate) * 1000.0;
      EXPECT_LE(gapMs, 110.0) << pid;
    }
  }
  ASSERT_EQ(when.size(), 4u);

  const Section* pat = nullptr;
  const Section* sdt = nullptr;
  const Section* pmt2 = nullptr;
  for (const Section& s : secs) {
    if (s.pid == 0 && !pat) pat = &s;
    if (s.pid == 0x11 && !sdt) sdt = &s;
    if (s.pid == 0x200 && !pmt2) pmt2 = &s;
  }
  // PAT: tsid, the NIT as program 0, two programs.
  ASSERT_EQ(pat->bytes[0], 0x00);
  EXPECT_EQ(pat->bytes[3] << 8 | pat->bytes[4], 0x0421);
  ASSERT_EQ(pat->bytes.size(), 8u + 3 * 4 + 4);
  EXPECT_EQ(pat->bytes[8] << 8 | pat->bytes[9], 0);
  EXPECT_EQ((pat->bytes[10] & 0x1F) << 8 | pat->bytes[11], 0x10);
  EXPECT_EQ(pat->bytes[12] << 8 | pat->bytes[13], 1);
  EXPECT_EQ((pat->bytes[14] & 0x1F) << 8 | pat->bytes[15], 0x100);
  EXPECT_EQ(pat->bytes[16] << 8 | pat->bytes[17], 7);
  EXPECT_EQ((pat->bytes[18] & 0x1F) << 8 | pat->bytes[19], 0x200);
  // PMT of program 7: PCR PID and three streams (private data, then audio).
  ASSERT_EQ(pmt2->bytes[0], 0x02);
  EXPECT_EQ(pmt2->bytes[3] << 8 | pmt2->bytes[4], 7);
  EXPECT_EQ((pmt2->bytes[8] & 0x1F) << 8 | pmt2->bytes[9], 0x210);
  size_t pos = 12 + (((pmt2->bytes[10] & 0x0F) << 8) | pmt2->bytes[11]);
  std::vector<std::pair<int, int>> es;
  while (pos + 5 <= pmt2->bytes.size() - 4) {
    es.emplace_back(pmt2->bytes[pos], (pmt2->bytes[pos + 1] & 0x1F) << 8 | pmt2->bytes[pos + 2]);
    pos += 5 + (((pmt2->bytes[pos + 3] & 0x0F) << 8) | pmt2->bytes[pos + 4]);
  }
  ASSERT_EQ(es.size(), 3u);
  EXPECT_EQ(es[0], std::make_pair(0x06, 0x201));
  EXPECT_EQ(es[1], std::make_pair(0x03, 0x202));
  EXPECT_EQ(es[2], std::make_pair(0x03, 0x203));
  // SDT: both service names.
  ASSERT_EQ(sdt->bytes[0], 0x42);
  std::string body(sdt->bytes.begin(), sdt->bytes.end());
  EXPECT_NE(body.find("Service 1"), std::string::npos);
  EXPECT_NE(body.find("Zweites Programm"), std::string::npos);
}

// Sixteen services with long names do not fit one SDT section: the table spans several, numbered, and each
// name is in exactly one.
TEST(Generator, LongServiceListsSpanSeveralSdtSections) {
  sim::TsGenConfig cfg;
  cfg.services.clear();
  for (uint16_t k = 0; k < 16; ++k) {
    sim::TsService s;
    s.programNumber = static_cast<uint16_t>(k + 1);
    s.pmtPid = s.pcrPid = static_cast<uint16_t>(0x100 + 0x10 * k);
    s.esPids = {};
    s.name = std::string(60, 'a' + k);
    cfg.services.push_back(s);
  }
  auto src = sim::makeGeneratedSource(cfg);
  auto secs = sections(generate(*src, 4000), {0x011});
  std::map<int, std::vector<uint8_t>> byNumber;
  int last = -1;
  for (const Section& s : secs) {
    ASSERT_EQ(ts::crc32(s.bytes.data(), s.bytes.size()), 0u);
    ASSERT_LE(s.bytes.size(), 1024u);
    byNumber.emplace(s.bytes[6], s.bytes);
    last = s.bytes[7];
  }
  ASSERT_GT(last, 0);
  ASSERT_EQ(byNumber.size(), size_t(last + 1));
  std::string all;
  for (auto& [n, bytes] : byNumber) all.append(bytes.begin(), bytes.end());
  for (const auto& s : cfg.services) {
    const size_t at = all.find(s.name);
    ASSERT_NE(at, std::string::npos) << s.name;
    EXPECT_EQ(all.find(s.name, at + 1), std::string::npos) << s.name;
  }
}

// ATSC and J.83B streams carry PSIP (MGT and a terrestrial or cable VCT) instead of SDT and NIT.
TEST(Generator, AtscFamiliesCarryPsipInsteadOfDvbSi) {
  for (auto family : {sim::SiFamily::Atsc, sim::SiFamily::AtscCable}) {
    sim::TsGenConfig cfg;
    cfg.si = family;
    cfg.services.front().name = "WZDV-HD";
    cfg.services.front().majorChannel = 31;
    cfg.services.front().minorChannel = 2;
    auto src = sim::makeGeneratedSource(cfg);
    const auto stream = generate(*src, 3000);
    EXPECT_TRUE(sections(stream, {0x010, 0x011}).empty());
    std::set<int> tables;
    for (const Section& s : sections(stream, {0x1FFB})) {
      ASSERT_EQ(ts::crc32(s.bytes.data(), s.bytes.size()), 0u);
      tables.insert(s.bytes[0]);
      if (s.bytes[0] != 0xC7) {
        EXPECT_EQ(s.bytes[0], family == sim::SiFamily::Atsc ? 0xC8 : 0xC9);
        EXPECT_EQ(s.bytes[9], 1);  // one channel
        std::string name;
        for (int i = 0; i < 7; ++i) name += static_cast<char>(s.bytes[10 + 2 * i + 1]);
        EXPECT_EQ(name, "WZDV-HD");
        const uint32_t word =
            uint32_t(s.bytes[24]) << 24 | s.bytes[25] << 16 | s.bytes[26] << 8 | s.bytes[27];
        EXPECT_EQ(word >> 18 & 0x3FF, 31u);
        EXPECT_EQ(word >> 8 & 0x3FF, 2u);
      }
    }
    EXPECT_EQ(tables.size(), 2u);
  }
}

TEST_F(GeneratorTest, PcrFollowsBitrateOftenEnough) {
  for (uint16_t pcrPid : {0x101, 0x210}) {
    int64_t lastPcr = -1;
    size_t lastIdx = 0, count = 0;
    for (size_t i = 0; i < kPackets; ++i) {
      const uint8_t* p = stream.data() + i * kTsPacket;
      if (ts::pid(p) != pcrPid) continue;
      int64_t pcr = ts::pcr(p);
      if (pcr < 0) continue;
      ++count;
      if (lastPcr >= 0) {
        double expect = double(i - lastIdx) * 1504.0 * 27e6 / double(cfg.bitrate);
        EXPECT_NEAR(double(pcr - lastPcr), expect, 2.0);
        EXPECT_LE(double(pcr - lastPcr) / 27e3, 40.0);  // ms of stream between PCRs
      }
      lastPcr = pcr;
      lastIdx = i;
    }
    EXPECT_GE(count, 100u) << pcrPid;
  }
}

TEST_F(GeneratorTest, NullsFillWhatPayloadLeaves) {
  size_t nulls = 0, payload = 0;
  for (size_t i = 0; i < kPackets; ++i) {
    uint16_t pid = ts::pid(stream.data() + i * kTsPacket);
    if (pid == ts::kNullPid) ++nulls;
    if (pid == 0x101 || pid == 0x102 || (pid >= 0x201 && pid <= 0x203)) ++payload;
  }
  double seconds = double(kPackets) * 1504.0 / double(cfg.bitrate);
  double payloadBps = double(payload) * 1504.0 / seconds;
  EXPECT_NEAR(payloadBps, double(cfg.payloadBitrate), 0.1 * double(cfg.payloadBitrate));
  EXPECT_GT(nulls, kPackets / 2);  // 1 of 4 Mbit/s is payload; PSI and PCR are small
}

TEST(Generator, SameSeedSameStream) {
  sim::TsGenConfig cfg;
  cfg.bitrate = 8'000'000;
  auto a = sim::makeGeneratedSource(cfg), b = sim::makeGeneratedSource(cfg);
  EXPECT_EQ(generate(*a, 3000), generate(*b, 3000));
  cfg.seed = 2;
  auto c = sim::makeGeneratedSource(cfg);
  EXPECT_NE(generate(*a, 3000), generate(*c, 3000));
}

class FileSourceTest : public ::testing::Test {
 protected:
  FileSourceTest() {
    path = (std::filesystem::temp_directory_path() / ("zadivo_ts_" + std::to_string(::getpid()) + ".ts"))
               .string();
  }
  ~FileSourceTest() override { std::filesystem::remove(path); }
  void write(const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::string path;
};

TEST_F(FileSourceTest, ResyncsAndLoops) {
  std::vector<uint8_t> bytes = {0x00, 0x47, 0x12};  // garbage, including a false sync
  for (uint8_t k = 0; k < 5; ++k) {
    std::vector<uint8_t> p(kTsPacket, k);
    p[0] = 0x47;
    bytes.insert(bytes.end(), p.begin(), p.end());
  }
  bytes.insert(bytes.end(), {0x47, 1, 2});  // truncated tail
  write(bytes);
  std::string err;
  auto src = sim::makeFileSource(path, 1'000'000, &err);
  ASSERT_TRUE(src) << err;
  EXPECT_EQ(src->bitrate(), 1'000'000u);
  auto out = generate(*src, 12);
  for (size_t i = 0; i < 12; ++i) {
    EXPECT_EQ(out[i * kTsPacket], 0x47);
    EXPECT_EQ(out[i * kTsPacket + 1], i % 5) << i;
  }
}

TEST_F(FileSourceTest, RefusesMissingEmptyAndSyncless) {
  std::string err;
  EXPECT_FALSE(sim::makeFileSource(path + ".none", 1'000'000, &err));
  EXPECT_NE(err.find(".none"), std::string::npos);
  write(std::vector<uint8_t>(1000, 0x11));
  err.clear();
  EXPECT_FALSE(sim::makeFileSource(path, 1'000'000, &err));
  EXPECT_NE(err.find("no transport packet"), std::string::npos);
  write(std::vector<uint8_t>(kTsPacket, 0x47));
  EXPECT_FALSE(sim::makeFileSource(path, 0, &err));
}

}  // namespace
