#include "tools/zadivo/services.h"

#include <libdvbv5/crc32.h>
#include <libdvbv5/pat.h>
#include <libdvbv5/pmt.h>

#include <cstdio>

namespace zadivo::tool {

namespace {

constexpr size_t kPacket = 188;
constexpr uint8_t kPatTable = 0x00, kPmtTable = 0x02, kSdtTable = 0x42;
constexpr uint8_t kMgtTable = 0xC7, kTvctTable = 0xC8, kCvctTable = 0xC9;
// PSIP sections: header, then protocol_version at offset 8.
constexpr size_t kPsipHeader = 8, kCrc = 4;

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
// The 10-, 12- or 13-bit length or PID in the low bits of a 16-bit field.
size_t low(const uint8_t* p, int bits) { return u16(p) & ((1u << bits) - 1); }

uint16_t pidOf(const uint8_t* p) { return static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]); }

// Header fields and CRC around a body that follows last_section_number.
std::vector<uint8_t> withHeader(uint8_t tableId, uint8_t reserved, uint16_t ext, uint8_t version,
                                const std::vector<uint8_t>& body) {
  const size_t length = 5 + body.size() + 4;
  std::vector<uint8_t> s(3 + length);
  s[0] = tableId;
  s[1] = static_cast<uint8_t>(0x80 | reserved << 4 | length >> 8);
  s[2] = static_cast<uint8_t>(length);
  s[3] = static_cast<uint8_t>(ext >> 8);
  s[4] = static_cast<uint8_t>(ext);
  s[5] = static_cast<uint8_t>(0xC1 | (version & 0x1F) << 1);  // current; section 0 of 0
  std::copy(body.begin(), body.end(), s.begin() + 8);
  const uint32_t crc = dvb_crc32(s.data(), s.size() - 4, 0xFFFFFFFF);
  for (int i = 0; i < 4; ++i) s[s.size() - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  return s;
}

}  // namespace

std::vector<uint8_t> patOfOne(uint16_t transportStreamId, uint8_t version, uint16_t serviceId,
                              uint16_t pmtPid) {
  return withHeader(kPatTable, 0x3, transportStreamId, version,
                    {static_cast<uint8_t>(serviceId >> 8), static_cast<uint8_t>(serviceId),
                     static_cast<uint8_t>(0xE0 | pmtPid >> 8), static_cast<uint8_t>(pmtPid)});
}

std::vector<uint8_t> sdtOfOne(const uint8_t* s, size_t len, uint16_t serviceId) {
  constexpr size_t kHeader = 8, kLoop = kHeader + 3;
  if (len < kLoop + 4 || s[0] != kSdtTable) return {};
  std::vector<uint8_t> body;
  const bool whole = forEachSdtService(s, len, [&](uint16_t id, const uint8_t* entry, size_t n) {
    if (id == serviceId) body.insert(body.end(), entry, entry + n);
  });
  if (!whole || body.empty()) return {};
  body.insert(body.begin(), s + kHeader, s + kLoop);
  return withHeader(kSdtTable, 0x7, static_cast<uint16_t>(s[3] << 8 | s[4]), (s[5] >> 1) & 0x1F, body);
}

std::vector<uint8_t> vctOfOne(const uint8_t* s, size_t len, uint16_t transportStreamId, uint16_t serviceId) {
  constexpr size_t kChannel = 32;  // short name, numbers, modulation, frequency, ids, flags, source id
  if (len < kPsipHeader + 2 + 2 + kCrc || (s[0] != kTvctTable && s[0] != kCvctTable)) return {};
  const size_t end = len - kCrc;
  size_t at = kPsipHeader + 2;
  std::vector<uint8_t> channel;
  for (int n = s[kPsipHeader + 1]; n > 0; --n) {
    if (at + kChannel > end) return {};
    const size_t size = kChannel + low(s + at + 30, 10);
    if (at + size > end) return {};
    if (u16(s + at + 22) == transportStreamId && u16(s + at + 24) == serviceId)
      channel.assign(s + at, s + at + size);
    at += size;
  }
  if (channel.empty() || at + 2 > end || at + 2 + low(s + at, 10) > end) return {};
  std::vector<uint8_t> body{s[kPsipHeader], 1};
  body.insert(body.end(), channel.begin(), channel.end());
  body.insert(body.end(), s + at, s + at + 2 + low(s + at, 10));  // additional descriptors
  return withHeader(s[0], 0x7, u16(s + 3), (s[5] >> 1) & 0x1F, body);
}

std::vector<uint8_t> mgtForOne(const uint8_t* s, size_t len, size_t vctBytes) {
  constexpr size_t kTable = 11;  // type, PID, version, number_bytes, descriptors length
  constexpr uint16_t kCurrentTvct = 0x0000, kNextTvct = 0x0001, kCurrentCvct = 0x0002, kNextCvct = 0x0003;
  if (len < kPsipHeader + 3 + 2 + kCrc || s[0] != kMgtTable) return {};
  const size_t end = len - kCrc;
  size_t at = kPsipHeader + 3;
  std::vector<uint8_t> body{s[kPsipHeader], 0, 0};
  uint16_t kept = 0;
  for (int n = u16(s + kPsipHeader + 1); n > 0; --n) {
    if (at + kTable > end) return {};
    const size_t size = kTable + low(s + at + 9, 12);
    if (at + size > end) return {};
    // Tables on other PIDs (the guide's events and texts) and VCTs not yet current are not in the recording.
    const uint16_t type = u16(s + at);
    if (low(s + at + 2, 13) == kPsipPid && type != kNextTvct && type != kNextCvct) {
      const size_t from = body.size();
      body.insert(body.end(), s + at, s + at + size);
      if (type == kCurrentTvct || type == kCurrentCvct)
        for (int i = 0; i < 4; ++i) body[from + 5 + i] = static_cast<uint8_t>(vctBytes >> (24 - 8 * i));
      ++kept;
    }
    at += size;
  }
  if (at + 2 > end || at + 2 + low(s + at, 12) > end) return {};
  body[1] = static_cast<uint8_t>(kept >> 8);
  body[2] = static_cast<uint8_t>(kept);
  body.insert(body.end(), s + at, s + at + 2 + low(s + at, 12));
  return withHeader(kMgtTable, 0x7, u16(s + 3), (s[5] >> 1) & 0x1F, body);
}

ServiceFilter::ServiceFilter(uint16_t serviceId)
    : serviceId_(serviceId),
      reader_([this](uint16_t pid, const uint8_t* s, size_t len) { section(pid, s, len); }) {
  reader_.watch(kPatPid);
  reader_.watch(kSdtPid);
  reader_.watch(kPsipPid);
}

std::string ServiceFilter::waitingFor() const {
  if (!patSeen_) return "the PAT";
  if (pmtPid_ < 0) return "service " + std::to_string(serviceId_) + " in the PAT";
  char pid[16];
  snprintf(pid, sizeof pid, "0x%04x", pmtPid_);
  return "the PMT of service " + std::to_string(serviceId_) + " (PID " + pid + ")";
}

void ServiceFilter::feed(const uint8_t* data, size_t len, std::vector<uint8_t>& out) {
  out_ = &out;
  for (size_t i = 0; i + kPacket <= len; i += kPacket) {
    const uint8_t* p = data + i;
    const uint16_t pid = pidOf(p);
    // The tables go out as this filter rewrites them, everything else of the service as it came.
    if (reader_.watching(pid))
      reader_.packet(p);
    else if (pids_.count(pid))
      out.insert(out.end(), p, p + kPacket);
  }
  out_ = nullptr;
}

void ServiceFilter::section(uint16_t pid, const uint8_t* s, size_t len) {
  if (len < 12 || !(s[5] & 0x01)) return;
  std::vector<uint8_t> copy(s, s + len);  // libdvbv5 may change the bytes it parses
  if (pid == kPatPid && s[0] == kPatTable) {
    dvb_table_pat* pat = nullptr;
    if (dvb_table_pat_init(parms_.get(), copy.data(), static_cast<ssize_t>(copy.size()), &pat) < 0) return;
    patSeen_ = true;
    int pmtPid = -1;
    dvb_pat_program_foreach(pgm, pat) if (pgm->service_id == serviceId_) pmtPid = pgm->pid;
    tsid_ = pat->header.id;
    patVersion_ = pat->header.version;
    dvb_table_pat_free(pat);
    if (pmtPid != pmtPid_) {
      pids_.clear();  // a new PMT PID: nothing passes until its PMT is seen
      pmtPid_ = pmtPid;
      if (pmtPid >= 0) reader_.watch(static_cast<uint16_t>(pmtPid));
    }
    if (ready()) send(kPatPid, patOfOne(tsid_, patVersion_, serviceId_, static_cast<uint16_t>(pmtPid_)));
  } else if (pid == pmtPid_ && s[0] == kPmtTable && (s[3] << 8 | s[4]) == serviceId_) {
    dvb_table_pmt* pmt = nullptr;
    if (dvb_table_pmt_init(parms_.get(), copy.data(), static_cast<ssize_t>(copy.size()), &pmt) < 0) return;
    const bool first = !ready();
    pids_.clear();
    if (pmt->pcr_pid != 0x1FFF) pids_.insert(pmt->pcr_pid);
    dvb_pmt_stream_foreach(stream, pmt) pids_.insert(stream->elementary_pid);
    dvb_table_pmt_free(pmt);
    pids_.erase(static_cast<uint16_t>(pmtPid_));
    if (pids_.empty()) pids_.insert(0x1FFF);  // a program of no streams is still a program
    // The recording opens with the PAT that points at this PMT.
    if (first) send(kPatPid, patOfOne(tsid_, patVersion_, serviceId_, static_cast<uint16_t>(pmtPid_)));
    send(pid, std::vector<uint8_t>(s, s + len));
  } else if (pid == kSdtPid && ready()) {
    const std::vector<uint8_t> sdt = sdtOfOne(s, len, serviceId_);
    if (!sdt.empty()) send(kSdtPid, sdt);
  } else if (pid == kPsipPid && ready() && (s[0] == kTvctTable || s[0] == kCvctTable)) {
    std::vector<uint8_t> vct = vctOfOne(s, len, tsid_, serviceId_);
    if (vct.empty()) return;  // another section of the table
    vct_ = std::move(vct);
    send(kPsipPid, vct_);
  } else if (pid == kPsipPid && ready() && s[0] == kMgtTable && !vct_.empty()) {
    // The MGT gives the VCT's size: it goes out once the cut VCT is known.
    const std::vector<uint8_t> mgt = mgtForOne(s, len, vct_.size());
    if (!mgt.empty()) send(kPsipPid, mgt);
  } else if (pid == kPsipPid && ready() && s[0] != kMgtTable) {
    send(kPsipPid, std::vector<uint8_t>(s, s + len));  // the time and the rating regions hold for any service
  }
}

void ServiceFilter::send(uint16_t pid, const std::vector<uint8_t>& section) {
  if (!out_) return;
  for (size_t at = 0; at < section.size() || at == 0;) {
    uint8_t p[kPacket];
    const bool start = at == 0;
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((start ? 0x40 : 0) | pid >> 8);
    p[2] = static_cast<uint8_t>(pid);
    cc_[pid] = (cc_[pid] + 1) & 0x0F;
    p[3] = static_cast<uint8_t>(0x10 | cc_[pid]);
    size_t pos = 4;
    if (start) p[pos++] = 0;  // pointer field
    const size_t n = std::min(section.size() - at, kPacket - pos);
    std::copy(section.begin() + static_cast<std::ptrdiff_t>(at),
              section.begin() + static_cast<std::ptrdiff_t>(at + n), p + pos);
    std::fill(p + pos + n, p + kPacket, 0xFF);
    out_->insert(out_->end(), p, p + kPacket);
    at += n;
  }
}

}  // namespace zadivo::tool
