#include "tools/zadivo/si.h"

#include <libdvbv5/crc32.h>
#include <libdvbv5/dvb-fe.h>
#include <libdvbv5/dvb-scan.h>
#include <libdvbv5/nit.h>
#include <libdvbv5/pat.h>
#include <libdvbv5/pmt.h>
#include <libdvbv5/sdt.h>
#include <libdvbv5/vct.h>

#include <cstdarg>
#include <cstdlib>

#include "tools/zadivo/report.h"

namespace zadivo::tool {

namespace {

constexpr size_t kPacket = 188;
constexpr size_t kMaxSection = 4096;
constexpr uint8_t kPatTable = 0x00, kPmtTable = 0x02, kNitTable = 0x40, kSdtTable = 0x42;
constexpr uint8_t kTvctTable = 0xC8, kCvctTable = 0xC9;
constexpr uint8_t kUtf8Selector = 0x15;

void quiet(int, const char*, ...) {}

}  // namespace

SiKind siKindOf(int tunerType) {
  switch (effectiveTunerType(tunerType)) {
    case 3:
      return SiKind::Atsc;
    case 6:
      return SiKind::AtscCable;
  }
  return SiKind::Dvb;
}

bool forEachSdtService(const uint8_t* s, size_t len,
                       const std::function<void(uint16_t, const uint8_t*, size_t)>& fn) {
  constexpr size_t kLoop = 11;  // header, original network id, reserved byte
  if (len < kLoop + 4) return false;
  for (size_t at = kLoop; at < len - 4;) {
    if (at + 5 > len - 4) return false;
    const size_t entry = 5 + ((s[at + 3] & 0x0F) << 8 | s[at + 4]);
    if (at + entry > len - 4) return false;
    fn(static_cast<uint16_t>(s[at] << 8 | s[at + 1]), s + at, entry);
    at += entry;
  }
  return true;
}

// ---- SectionReader
// -----------------------------------------------------------------------------------------

void SectionReader::packet(const uint8_t* p) {
  if (p[0] != 0x47 || (p[1] & 0x80)) return;  // not in sync, or the demodulator flagged an error
  const uint16_t pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
  auto it = pids_.find(pid);
  if (it == pids_.end() || !(p[3] & 0x10)) return;
  Pid& st = it->second;
  const int cc = p[3] & 0x0F;
  if (cc == st.lastCc) return;  // a repeated packet
  if (st.lastCc >= 0 && cc != ((st.lastCc + 1) & 0x0F)) {
    st.open = false;
    st.buf.clear();
  }
  st.lastCc = cc;
  size_t off = 4;
  if (p[3] & 0x20) off = 5 + size_t{p[4]};
  if (off >= kPacket) return;
  const uint8_t* d = p + off;
  size_t n = kPacket - off;
  if (p[1] & 0x40) {
    const size_t pointer = d[0];
    ++d, --n;
    if (pointer > n) {
      st.open = false;
      st.buf.clear();
      return;
    }
    if (st.open) {
      st.buf.insert(st.buf.end(), d, d + pointer);
      drain(pid, st);
    }
    st.buf.assign(d + pointer, d + n);
    st.open = true;
  } else if (st.open) {
    st.buf.insert(st.buf.end(), d, d + n);
  }
  drain(pid, st);
}

void SectionReader::drain(uint16_t pid, Pid& st) {
  while (st.open && !st.buf.empty()) {
    if (st.buf[0] == 0xFF) {  // stuffing to the end of the packet
      st.open = false;
      break;
    }
    if (st.buf.size() < 3) return;
    const size_t len = 3 + ((st.buf[1] & 0x0F) << 8 | st.buf[2]);
    if (len > kMaxSection) {
      st.open = false;
      break;
    }
    if (st.buf.size() < len) return;
    const bool crcOk = !(st.buf[1] & 0x80) || dvb_crc32(st.buf.data(), len, 0xFFFFFFFF) == 0;
    if (crcOk) sink_(pid, st.buf.data(), len);
    st.buf.erase(st.buf.begin(), st.buf.begin() + static_cast<std::ptrdiff_t>(len));
    // A section that ends with the packet is followed by one that a new packet starts.
    if (st.buf.empty()) st.open = false;
  }
  st.buf.clear();
}

// ---- DvbParms, Tables
// --------------------------------------------------------------------------------------

DvbParms::DvbParms() : p_(dvb_fe_dummy()) {
  if (p_) p_->logfunc = quiet;
}

DvbParms::~DvbParms() {
  if (p_) dvb_fe_close(p_);
}

void TablesDeleter::operator()(dvb_v5_descriptors* d) const { dvb_scan_free_handler_table(d); }

// ---- SiCollector
// -------------------------------------------------------------------------------------------

SiCollector::SiCollector(SiKind kind)
    : kind_(kind), reader_([this](uint16_t pid, const uint8_t* s, size_t len) { section(pid, s, len); }) {
  reader_.watch(kPatPid);
  if (kind_ == SiKind::Dvb) {
    reader_.watch(kSdtPid);
    reader_.watch(kNitPid);
  } else {
    reader_.watch(kPsipPid);
  }
}

SiCollector::~SiCollector() {
  if (pat_) dvb_table_pat_free(pat_);
  for (auto& [program, pmt] : pmts_)
    if (pmt) dvb_table_pmt_free(pmt);
  if (sdt_) dvb_table_sdt_free(sdt_);
  if (nit_) dvb_table_nit_free(nit_);
  if (vct_) atsc_table_vct_free(vct_);
}

void SiCollector::feed(const uint8_t* data, size_t len) {
  for (size_t i = 0; i + kPacket <= len; i += kPacket) reader_.packet(data + i);
}

bool SiCollector::complete() const {
  if (!pat_) return false;
  for (auto& [program, pmt] : pmts_)
    if (!pmt) return false;
  return kind_ == SiKind::Dvb ? sdt_ != nullptr : vct_ != nullptr;
}

std::string SiCollector::missing() const {
  std::string out;
  auto add = [&](const std::string& what) { out += (out.empty() ? "" : ", ") + what; };
  if (!pat_) add("PAT");
  for (auto& [program, pmt] : pmts_)
    if (!pmt) add("PMT of service " + std::to_string(program));
  if (kind_ == SiKind::Dvb && !sdt_) add("SDT");
  if (kind_ != SiKind::Dvb && !vct_) add("virtual channel table");
  return out;
}

void SiCollector::section(uint16_t pid, const uint8_t* s, size_t len) {
  if (len < 12 || !(s[1] & 0x80) || !(s[5] & 0x01)) return;  // short form, or not yet in force
  const uint8_t table = s[0];
  const uint16_t ext = static_cast<uint16_t>(s[3] << 8 | s[4]);
  bool wanted = false;
  if (pid == kPatPid) {
    wanted = table == kPatTable && !pat_;
  } else if (table == kPmtTable) {
    auto it = pmts_.find(ext);
    if (it != pmts_.end() && !it->second) {
      dvb_pat_program_foreach(pgm, pat_) if (pgm->service_id == ext && pgm->pid == pid) wanted = true;
    }
  } else if (pid == kSdtPid) {
    wanted = table == kSdtTable && !sdt_;
  } else if (pid == kNitPid) {
    wanted = table == kNitTable && !nit_;
  } else if (pid == kPsipPid) {
    wanted = (table == kTvctTable || table == kCvctTable) && !vct_;
  }
  if (!wanted) return;
  Table& t = partial_[{pid, table, ext}];
  const int version = (s[5] >> 1) & 0x1F;
  if (t.version != version) t = Table{version, s[7], {}};
  if (s[6] > t.last) return;
  t.sections[s[6]].assign(s, s + len);
  if (t.sections.size() != size_t(t.last) + 1) return;
  std::vector<std::vector<uint8_t>> whole;
  for (auto& [number, bytes] : t.sections) whole.push_back(std::move(bytes));
  partial_.erase({pid, table, ext});
  parsed(table, ext, std::move(whole));
}

void SiCollector::parsed(uint8_t tableId, uint16_t extension, std::vector<std::vector<uint8_t>> sections) {
  dvb_v5_fe_parms* p = parms_.get();
  // libdvbv5 appends each further section of a table to what the first one made.
  auto all = [&](auto init, auto** table) {
    for (auto& s : sections)
      if (init(p, s.data(), static_cast<ssize_t>(s.size()), table) < 0) return false;
    return true;
  };
  if (tableId == kPatTable) {
    if (!all(dvb_table_pat_init, &pat_)) return;
    dvb_pat_program_foreach(pgm, pat_) {
      if (pgm->service_id == 0) continue;  // the network PID
      reader_.watch(pgm->pid);
      pmts_.try_emplace(pgm->service_id, nullptr);
    }
  } else if (tableId == kPmtTable) {
    all(dvb_table_pmt_init, &pmts_[extension]);
  } else if (tableId == kSdtTable) {
    for (const auto& sec : sections)
      forEachSdtService(sec.data(), sec.size(), [&](uint16_t id, const uint8_t* e, size_t n) {
        // The service descriptor: type, provider, then the name behind its length.
        for (size_t d = 5; d + 2 <= n && d + 2 + e[d + 1] <= n; d += 2 + e[d + 1]) {
          if (e[d] != 0x48 || e[d + 1] < 3) continue;
          const size_t provider = e[d + 3], at = d + 4 + provider;
          if (at + 1 > d + 2 + e[d + 1]) continue;
          const size_t name = e[at];
          if (name && at + 1 + name <= d + 2 + e[d + 1] && e[at + 1] == kUtf8Selector)
            utf8Names_[id] = std::string(reinterpret_cast<const char*>(e + at + 2), name - 1);
        }
      });
    all(dvb_table_sdt_init, &sdt_);
  } else if (tableId == kNitTable) {
    all(dvb_table_nit_init, &nit_);
  } else {
    all(atsc_table_vct_init, &vct_);
  }
}

Tables SiCollector::take(uint32_t deliverySystem) {
  if (!pat_) return nullptr;
  Tables d(dvb_scan_alloc_handler_table(deliverySystem));
  if (!d) return nullptr;
  size_t programs = 0;
  dvb_pat_program_foreach(pgm, pat_) programs += pgm->service_id != 0;
  d->program = static_cast<dvb_v5_descriptors_program*>(calloc(programs ? programs : 1, sizeof *d->program));
  if (!d->program) return nullptr;
  dvb_pat_program_foreach(pgm, pat_) {
    if (pgm->service_id == 0) continue;
    auto& slot = d->program[d->num_program++];
    slot.pat_pgm = pgm;
    auto it = pmts_.find(pgm->service_id);
    if (it != pmts_.end()) {
      slot.pmt = it->second;
      pmts_.erase(it);
    }
  }
  d->pat = pat_;
  d->sdt = sdt_;
  d->nit = nit_;
  d->vct = vct_;
  pat_ = nullptr;
  sdt_ = nullptr;
  nit_ = nullptr;
  vct_ = nullptr;
  return d;
}

}  // namespace zadivo::tool
