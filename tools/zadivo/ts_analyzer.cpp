#include "tools/zadivo/ts_analyzer.h"

namespace zadivo::tool {

TsAnalyzer::TsAnalyzer() { partial_.reserve(kTsPacket); }

size_t TsAnalyzer::pidCount() const {
  size_t n = 0;
  for (const auto& s : pids_) n += s.lastCc >= 0;
  return n;
}

void TsAnalyzer::feed(const uint8_t* data, size_t len) {
  bytes_ += len;
  size_t i = 0;
  while (i < len) {
    if (!partial_.empty()) {
      const size_t take = std::min(kTsPacket - partial_.size(), len - i);
      partial_.insert(partial_.end(), data + i, data + i + take);
      i += take;
      if (partial_.size() == kTsPacket) {
        packet(partial_.data());
        partial_.clear();
      }
      continue;
    }
    if (data[i] != kTsSync) {
      // Count a loss once, then skip to the next sync byte.
      if (aligned_) ++syncErrors_;
      aligned_ = false;
      ++i;
      continue;
    }
    aligned_ = true;
    if (len - i >= kTsPacket) {
      packet(data + i);
      i += kTsPacket;
    } else {
      partial_.assign(data + i, data + len);
      i = len;
    }
  }
}

void TsAnalyzer::packet(const uint8_t* p) {
  ++packets_;
  if (p[1] & 0x80) ++teiErrors_;
  const uint16_t pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
  const uint8_t afc = (p[3] >> 4) & 0x3;
  const int8_t cc = static_cast<int8_t>(p[3] & 0x0F);
  PidState& s = pids_[pid];
  const bool discontinuity = (afc & 0x2) && p[4] > 0 && (p[5] & 0x80);
  if (pid == 0x1FFF) {
    s.lastCc = cc;  // null packets carry no meaningful counter
    return;
  }
  if (s.lastCc < 0 || discontinuity) {
    s.lastCc = cc;
    s.repeated = false;
    return;
  }
  if (!(afc & 0x1)) {
    // No payload: the counter must not advance.
    if (cc != s.lastCc) ++ccErrors_;
    s.lastCc = cc;
    return;
  }
  if (cc == s.lastCc) {
    // One duplicate packet is legal; a second one is not.
    if (s.repeated) ++ccErrors_;
    s.repeated = true;
    return;
  }
  if (cc != ((s.lastCc + 1) & 0x0F)) ++ccErrors_;
  s.lastCc = cc;
  s.repeated = false;
}

void PcrRate::feed(const uint8_t* data, size_t len) {
  constexpr uint64_t kWrap = (uint64_t{1} << 33) * 300;
  for (size_t at = 0; at + kTsPacket <= len; at += kTsPacket) {
    const uint8_t* p = data + at;
    const int pid = ((p[1] & 0x1F) << 8) | p[2];
    if (p[0] != kTsSync || !(p[3] & 0x20) || p[4] < 7 || !(p[5] & 0x10) || (pid_ >= 0 && pid != pid_))
      continue;
    const uint64_t base = (uint64_t{p[6]} << 25) | (uint64_t{p[7]} << 17) | (uint64_t{p[8]} << 9) |
                          (uint64_t{p[9]} << 1) | (p[10] >> 7);
    const uint64_t pcr = base * 300 + (((p[10] & 1u) << 8) | p[11]);
    const uint64_t here = offset_ + at;
    // A discontinuity starts the measure again.
    if (pid_ < 0 || (p[5] & 0x80)) {
      pid_ = pid;
      firstAt_ = lastAt_ = here;
      lastPcr_ = pcr;
      span_ = 0;
      continue;
    }
    span_ += (pcr + kWrap - lastPcr_) % kWrap;
    lastPcr_ = pcr;
    lastAt_ = here;
  }
  offset_ += len;
}

uint64_t PcrRate::bitrate() const {
  if (!span_) return 0;
  return static_cast<uint64_t>(
      static_cast<double>(lastAt_ - firstAt_) * 8 * 27e6 / static_cast<double>(span_) + 0.5);
}

}  // namespace zadivo::tool
