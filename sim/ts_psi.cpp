#include "sim/ts_psi.h"

#include <algorithm>
#include <string>

#include "sim/ts_util.h"

namespace sim::psi {
namespace {

constexpr size_t kMaxName = 64;
constexpr uint8_t kUtf8Selector = 0x15;  // DVB text that is UTF-8, not the default table
constexpr uint8_t kDigitalTv = 0x01;
constexpr uint8_t kAtscDigitalTv = 0x02;
constexpr size_t kShortNameChars = 7;

// The reserved bits above section_length: PSI has '011', DVB SI and PSIP '111'.
uint8_t reservedBits(uint8_t tableId) { return tableId <= 0x02 ? 0x3 : 0x7; }

// A DVB string: bytes as they are when plain ASCII, else UTF-8 behind its selector.
std::string dvbText(const std::string& s) {
  std::string t = s.substr(0, kMaxName);
  const bool ascii = std::none_of(t.begin(), t.end(), [](char c) { return static_cast<uint8_t>(c) >= 0x80; });
  return ascii ? t : std::string(1, static_cast<char>(kUtf8Selector)) + t;
}

std::vector<uint8_t> serviceEntry(const TsService& s) {
  const std::string provider = dvbText(s.provider), name = dvbText(s.name);
  std::vector<uint8_t> e(1021);
  ts::Writer w(e.data(), e.size());
  const size_t descLen = 2 + 3 + provider.size() + name.size();
  w.u16(s.programNumber);
  w.u8(0xFC);
  w.u16(static_cast<uint16_t>((4 << 13) | descLen));  // running, not scrambled
  w.u8(0x48);                                         // service descriptor
  w.u8(static_cast<uint8_t>(descLen - 2));
  w.u8(kDigitalTv);
  w.u8(static_cast<uint8_t>(provider.size()));
  w.bytes(provider.data(), provider.size());
  w.u8(static_cast<uint8_t>(name.size()));
  w.bytes(name.data(), name.size());
  e.resize(w.size());
  return e;
}

}  // namespace

Section section(uint8_t tableId, uint16_t extension, const uint8_t* body, size_t bodyLen, uint8_t number,
                uint8_t last) {
  Section s(8 + bodyLen + 4);
  ts::Writer w(s.data(), s.size());
  w.u8(tableId);
  w.u16(static_cast<uint16_t>(0x8000 | (reservedBits(tableId) << 12) | (5 + bodyLen + 4)));
  w.u16(extension);
  w.u8(0xC1);  // version 0, current
  w.u8(number);
  w.u8(last);
  w.bytes(body, bodyLen);
  w.u32(ts::crc32(s.data(), w.size()));
  return s;
}

Section pat(const TsGenConfig& c) {
  uint8_t body[kMaxBody];
  ts::Writer w(body, sizeof body);
  if (c.si == SiFamily::Dvb) {
    w.u16(0);
    w.u16(0xE000 | kNitPid);
  }
  for (const TsService& s : c.services) {
    w.u16(s.programNumber);
    w.u16(static_cast<uint16_t>(0xE000 | (s.pmtPid & 0x1FFF)));
  }
  return section(0x00, c.transportStreamId, body, w.size());
}

Section pmt(const TsService& s) {
  constexpr uint8_t kMpeg1Video = 0x01, kPrivatePes = 0x06, kMpegAudio = 0x03;
  uint8_t body[kMaxBody];
  ts::Writer w(body, sizeof body);
  w.u16(static_cast<uint16_t>(0xE000 | (s.pcrPid & 0x1FFF)));
  w.u16(0xF000);  // no program descriptors
  auto stream = [&](uint8_t type, uint16_t pid) {
    w.u8(type);
    w.u16(static_cast<uint16_t>(0xE000 | (pid & 0x1FFF)));
  };
  if (s.videoPid) {
    stream(kMpeg1Video, s.videoPid);
    w.u16(0xF000);
  }
  for (size_t i = 0; i < s.esPids.size(); ++i) {
    if (i == 0) {
      // A registration descriptor of our own keeps analysers from guessing a codec in the private data.
      stream(kPrivatePes, s.esPids[i]);
      w.u16(0xF006);
      const uint8_t reg[6] = {0x05, 0x04, 'Z', 'D', 'V', 'O'};
      w.bytes(reg, sizeof reg);
    } else {
      stream(kMpegAudio, s.esPids[i]);
      w.u16(0xF000);
    }
  }
  return section(0x02, s.programNumber, body, w.size());
}

std::vector<Section> sdt(const TsGenConfig& c) {
  std::vector<std::vector<uint8_t>> bodies;
  auto fresh = [&] {
    bodies.emplace_back();
    bodies.back() = {static_cast<uint8_t>(c.originalNetworkId >> 8),
                     static_cast<uint8_t>(c.originalNetworkId), 0xFF};
  };
  fresh();
  for (const TsService& s : c.services) {
    const std::vector<uint8_t> e = serviceEntry(s);
    if (bodies.back().size() + e.size() > kMaxBody) fresh();
    bodies.back().insert(bodies.back().end(), e.begin(), e.end());
  }
  std::vector<Section> out;
  const auto last = static_cast<uint8_t>(bodies.size() - 1);
  for (size_t i = 0; i < bodies.size(); ++i)
    out.push_back(section(0x42, c.transportStreamId, bodies[i].data(), bodies[i].size(),
                          static_cast<uint8_t>(i), last));
  return out;
}

Section nit(const TsGenConfig& c) {
  const std::string name = dvbText(c.networkName);
  uint8_t body[kMaxBody];
  ts::Writer w(body, sizeof body);
  w.u16(static_cast<uint16_t>(0xF000 | (2 + name.size())));
  w.u8(0x40);  // network name descriptor
  w.u8(static_cast<uint8_t>(name.size()));
  w.bytes(name.data(), name.size());
  const size_t listLen = 3 * c.services.size();
  w.u16(static_cast<uint16_t>(0xF000 | (6 + 2 + listLen)));
  w.u16(c.transportStreamId);
  w.u16(c.originalNetworkId);
  w.u16(static_cast<uint16_t>(0xF000 | (2 + listLen)));
  w.u8(0x41);  // service list descriptor
  w.u8(static_cast<uint8_t>(listLen));
  for (const TsService& s : c.services) {
    w.u16(s.programNumber);
    w.u8(kDigitalTv);
  }
  return section(0x40, c.originalNetworkId, body, w.size());
}

Section vct(const TsGenConfig& c) {
  const bool cable = c.si == SiFamily::AtscCable;
  uint8_t body[kMaxBody];
  ts::Writer w(body, sizeof body);
  w.u8(0);  // protocol version
  w.u8(static_cast<uint8_t>(c.services.size()));
  for (const TsService& s : c.services) {
    // The short name is seven UTF-16 units; longer names are cut, as broadcasters' call signs never are.
    for (size_t i = 0; i < kShortNameChars; ++i)
      w.u16(i < s.name.size() ? static_cast<uint8_t>(s.name[i]) : 0);
    w.u32(0xF0000000u | (uint32_t{s.majorChannel & 0x3FFu} << 18) | (uint32_t{s.minorChannel & 0x3FFu} << 8) |
          c.vctModulation);
    w.u32(0);  // carrier frequency: no longer used
    w.u16(c.transportStreamId);
    w.u16(s.programNumber);
    // ETM location 0, not access controlled, not hidden, (TVCT: reserved '11'), shown in the guide.
    w.u16(static_cast<uint16_t>((cable ? 0x0000 : 0x0C00) | 0x01C0 | kAtscDigitalTv));
    w.u16(s.programNumber);  // source id
    w.u16(0xFC00);           // no descriptors
  }
  w.u16(0xFC00);  // no additional descriptors
  return section(cable ? 0xC9 : 0xC8, c.transportStreamId, body, w.size());
}

Section mgt(const TsGenConfig& c, size_t vctBytes) {
  constexpr uint16_t kTvctCurrent = 0x0000, kCvctCurrent = 0x0002;
  uint8_t body[32];
  ts::Writer w(body, sizeof body);
  w.u8(0);   // protocol version
  w.u16(1);  // tables defined
  w.u16(c.si == SiFamily::AtscCable ? kCvctCurrent : kTvctCurrent);
  w.u16(0xE000 | kPsipPid);
  w.u8(0xE0);  // version 0
  w.u32(static_cast<uint32_t>(vctBytes));
  w.u16(0xF000);
  w.u16(0xF000);
  return section(0xC7, 0x0000, body, w.size());
}

}  // namespace sim::psi
