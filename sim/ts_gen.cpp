// Generated transport stream: PAT, PMT and the family's service information every 100 ms of stream, a PCR on
// each service's PCR PID every 20 ms, a still grey MPEG-1 picture 25 times a second on the video PIDs and
// MPEG-1 layer II audio frames of silence on the audio PIDs (both decodable), private-data PES packets with a
// PTS on each service's first ES PID, and null packets to fill the bitrate. Time is the stream's own:
// packet i starts at i * 1504 / bitrate seconds, so PCR and PTS follow the bitrate exactly.
#include <algorithm>
#include <array>
#include <deque>

#include "sim/ts_psi.h"
#include "sim/ts_source.h"
#include "sim/ts_util.h"

namespace sim {
namespace {

using Packet = std::array<uint8_t, kTsPacket>;

constexpr int64_t kPsiIntervalNs = 100'000'000;
constexpr int64_t kPcrIntervalNs = 20'000'000;
constexpr uint64_t kMinBitrate = 500'000;
constexpr int64_t kPtsLead90k = 27000;  // PTS runs 300 ms ahead of the PCR
constexpr uint64_t kPcrWrap = (uint64_t{1} << 33) * 300;
constexpr uint8_t kStreamIdAudio = 0xC0;
constexpr uint8_t kStreamIdVideo = 0xE0;
constexpr uint8_t kStreamIdPrivate1 = 0xBD;
// One MPEG-1 layer II frame: 64 kbit/s mono at 48 kHz, 1152 samples = 24 ms, 192 bytes. A header followed by
// zeros allocates no bits to any subband: silence.
constexpr size_t kAudioFrameBytes = 192;
constexpr int64_t kAudioFrameNs = 24'000'000;
constexpr uint8_t kAudioHeader[4] = {0xFF, 0xFD, 0x44, 0xC0};
constexpr int64_t kVideoFrameNs = 40'000'000;  // 25 pictures a second
constexpr size_t kMaxEsQueue = 64;

// Writes bits most significant first; start codes begin byte aligned.
class Bits {
 public:
  void put(uint32_t value, int n) {
    for (int i = n - 1; i >= 0; --i) {
      if (used_ == 0) bytes_.push_back(0);
      if (value >> i & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> used_);
      used_ = (used_ + 1) & 7;
    }
  }
  void startCode(uint8_t code) {
    used_ = 0;
    for (uint8_t b : {uint8_t{0}, uint8_t{0}, uint8_t{1}, code}) bytes_.push_back(b);
  }
  std::vector<uint8_t> take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
  int used_ = 0;
};

// One 16x16 grey MPEG-1 intra picture behind a sequence and a closed GOP header, so that a decoder can start
// at any picture: a single macroblock whose six blocks hold a zero DC difference and nothing else.
std::vector<uint8_t> stillPicture() {
  Bits b;
  b.startCode(0xB3);
  b.put(16, 12);   // width
  b.put(16, 12);   // height
  b.put(1, 4);     // square pels
  b.put(3, 4);     // 25 pictures/s
  b.put(100, 18);  // 40 kbit/s
  b.put(1, 1);
  b.put(2, 10);  // VBV buffer: 32 kbit
  b.put(0, 3);   // not constrained, default quantiser matrices
  b.startCode(0xB8);
  b.put(0, 1 + 5 + 6);  // time code 00:00
  b.put(1, 1);
  b.put(0, 6 + 6);
  b.put(0b10, 2);  // closed GOP, no broken link
  b.startCode(0x00);
  b.put(0, 10);       // temporal reference
  b.put(1, 3);        // I picture
  b.put(0xFFFF, 16);  // VBV delay unspecified
  b.put(0, 1);
  b.startCode(0x01);  // slice of row 1
  b.put(8, 5);        // quantiser scale
  b.put(0, 1);
  b.put(0b11, 2);                                 // address increment 1, intra
  for (int i = 0; i < 4; ++i) b.put(0b10010, 5);  // luminance DC size 0, end of block
  for (int i = 0; i < 2; ++i) b.put(0b0010, 4);   // chrominance DC size 0, end of block
  return b.take();
}

class Generator : public TsSource {
 public:
  explicit Generator(const TsGenConfig& cfg) : cfg_(cfg) {
    bitrate_ = std::max(cfg.bitrate, kMinBitrate);
    uint64_t payload = cfg.payloadBitrate ? std::min(cfg.payloadBitrate, bitrate_) : bitrate_ / 2;
    rng_ = cfg.seed ? cfg.seed : 0x9E3779B9u;
    for (const TsService& s : cfg_.services) {
      pcrPids_.push_back(s.pcrPid & 0x1FFF);
      nextPcrNs_.push_back(0);
      if (s.videoPid) {
        videoPids_.push_back(s.videoPid & 0x1FFF);
        nextVideoNs_.push_back(0);
      }
      if (!s.esPids.empty()) dataPids_.push_back(s.esPids[0] & 0x1FFF);
      for (size_t i = 1; i < s.esPids.size(); ++i) {
        audioPids_.push_back(s.esPids[i] & 0x1FFF);
        nextAudioNs_.push_back(0);
      }
    }
    const uint64_t others = audioPids_.size() * 2 * kTsPacket * 8 * 1000000000ull / kAudioFrameNs +
                            videoPids_.size() * kTsPacket * 8 * 1000000000ull / kVideoFrameNs;
    dataBitrate_ = payload > others ? payload - others : 0;
  }

  uint64_t bitrate() const override { return bitrate_; }

  void fill(uint8_t* dst, size_t packets) override {
    for (size_t i = 0; i < packets; ++i, ++index_) next(dst + i * kTsPacket);
  }

 private:
  int64_t timeNs(uint64_t index, uint64_t byteOffset = 0) const {
    return static_cast<int64_t>((static_cast<__int128>(index) * kTsPacket + byteOffset) * 8 * 1000000000 /
                                bitrate_);
  }
  uint64_t pcrAt(uint64_t index) const {
    // The PCR names the time of its own last byte's arrival; 27 MHz, starting at one second.
    __int128 t = (static_cast<__int128>(index) * kTsPacket + 11) * 8 * 27000000 / bitrate_ + 27000000;
    return static_cast<uint64_t>(t % kPcrWrap);
  }
  uint64_t ptsNow() const { return (pcrAt(index_) / 300 + kPtsLead90k) & ((uint64_t{1} << 33) - 1); }

  uint32_t rand32() {
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 17;
    rng_ ^= rng_ << 5;
    return rng_;
  }

  void header(ts::Writer& w, uint16_t pid, bool start, bool payload, bool adaptation) {
    w.u8(ts::kSync);
    w.u16(static_cast<uint16_t>((start ? 0x4000 : 0) | pid));
    // cc_ holds the last counter sent; only packets with payload advance it, and a packet without payload
    // repeats it (as the analyser expects).
    uint8_t& cc = cc_[pid];
    if (payload) cc = (cc + 1) & 0x0F;
    uint8_t afc = static_cast<uint8_t>((adaptation ? 0x20 : 0) | (payload ? 0x10 : 0));
    w.u8(static_cast<uint8_t>(afc | cc));
  }

  // Splits a PES packet or a PSI payload into transport packets; the last one is padded (adaptation
  // stuffing for PES, 0xFF after the section for PSI).
  void packetize(uint16_t pid, const uint8_t* data, size_t len, bool psi, std::deque<Packet>& out) {
    size_t pos = 0;
    bool first = true;
    while (pos < len || first) {
      Packet p;
      ts::Writer w(p.data(), p.size());
      size_t n = std::min<size_t>(len - pos, 184);
      if (psi || n == 184) {
        header(w, pid, first, true, false);
        w.bytes(data + pos, n);
        w.fill(0xFF, w.room());
      } else {
        header(w, pid, first, true, true);
        size_t afl = 183 - n;
        w.u8(static_cast<uint8_t>(afl));
        if (afl > 0) {
          w.u8(0x00);
          w.fill(0xFF, afl - 1);
        }
        w.bytes(data + pos, n);
      }
      pos += n;
      first = false;
      out.push_back(p);
    }
  }

  void queueSection(uint16_t pid, const psi::Section& sec) {
    std::vector<uint8_t> buf(1 + sec.size());
    buf[0] = 0;  // pointer field
    std::copy(sec.begin(), sec.end(), buf.begin() + 1);
    packetize(pid, buf.data(), buf.size(), true, psiQueue_);
  }

  void queuePsi() {
    queueSection(ts::kPatPid, psi::pat(cfg_));
    for (const TsService& s : cfg_.services) queueSection(s.pmtPid & 0x1FFF, psi::pmt(s));
    if (cfg_.si == SiFamily::Dvb) {
      for (const psi::Section& sec : psi::sdt(cfg_)) queueSection(ts::kSdtPid, sec);
      queueSection(psi::kNitPid, psi::nit(cfg_));
    } else {
      const psi::Section vct = psi::vct(cfg_);
      queueSection(psi::kPsipPid, psi::mgt(cfg_, vct.size()));
      queueSection(psi::kPsipPid, vct);
    }
  }

  size_t pesHeader(uint8_t* buf, uint8_t streamId, size_t payloadLen) {
    ts::Writer w(buf, 14);
    w.u8(0);
    w.u8(0);
    w.u8(1);
    w.u8(streamId);
    w.u16(static_cast<uint16_t>(8 + payloadLen));
    w.u8(0x80);  // '10', not scrambled
    w.u8(0x80);  // PTS only
    w.u8(5);
    uint64_t pts = ptsNow();
    w.u8(static_cast<uint8_t>(0x21 | ((pts >> 29) & 0x0E)));
    w.u16(static_cast<uint16_t>(((pts >> 14) & 0xFFFE) | 1));
    w.u16(static_cast<uint16_t>(((pts << 1) & 0xFFFE) | 1));
    return w.size();
  }

  void queueAudioFrame(uint16_t pid) {
    uint8_t pes[14 + kAudioFrameBytes] = {};
    size_t h = pesHeader(pes, kStreamIdAudio, kAudioFrameBytes);
    std::copy(std::begin(kAudioHeader), std::end(kAudioHeader), pes + h);
    packetize(pid, pes, h + kAudioFrameBytes, false, esQueue_);
  }

  void queuePicture(uint16_t pid) {
    std::vector<uint8_t> pes(14 + picture_.size());
    size_t h = pesHeader(pes.data(), kStreamIdVideo, picture_.size());
    std::copy(picture_.begin(), picture_.end(), pes.begin() + static_cast<std::ptrdiff_t>(h));
    packetize(pid, pes.data(), h + picture_.size(), false, esQueue_);
  }

  void dataPacket(uint8_t* dst, uint16_t pid) {
    ts::Writer w(dst, kTsPacket);
    header(w, pid, true, true, false);
    uint8_t h[14];
    size_t n = pesHeader(h, kStreamIdPrivate1, 184 - 14);
    w.bytes(h, n);
    while (w.room() >= 4) w.u32(rand32());
    w.fill(0, w.room());
  }

  void pcrPacket(uint8_t* dst, uint16_t pid) {
    ts::Writer w(dst, kTsPacket);
    header(w, pid, false, false, true);
    w.u8(183);
    w.u8(0x10);  // PCR flag
    uint64_t pcr = pcrAt(index_);
    uint64_t base = pcr / 300, ext = pcr % 300;
    w.u32(static_cast<uint32_t>(base >> 1));
    w.u8(static_cast<uint8_t>(((base & 1) << 7) | 0x7E | (ext >> 8)));
    w.u8(static_cast<uint8_t>(ext));
    w.fill(0xFF, w.room());
  }

  void next(uint8_t* dst) {
    const int64_t t = timeNs(index_);
    for (size_t s = 0; s < pcrPids_.size(); ++s) {
      if (t >= nextPcrNs_[s]) {
        nextPcrNs_[s] += kPcrIntervalNs;
        if (nextPcrNs_[s] <= t) nextPcrNs_[s] = t + kPcrIntervalNs;
        pcrPacket(dst, pcrPids_[s]);
        return;
      }
    }
    if (psiQueue_.empty() && t >= nextPsiNs_) {
      nextPsiNs_ += kPsiIntervalNs;
      if (nextPsiNs_ <= t) nextPsiNs_ = t + kPsiIntervalNs;
      queuePsi();
    }
    if (!psiQueue_.empty()) return pop(psiQueue_, dst);
    // A bitrate too low for the pictures and the audio drops frames instead of queueing without bound.
    for (size_t v = 0; v < videoPids_.size(); ++v) {
      if (t >= nextVideoNs_[v]) {
        nextVideoNs_[v] += kVideoFrameNs;
        if (esQueue_.size() < kMaxEsQueue) queuePicture(videoPids_[v]);
      }
    }
    for (size_t a = 0; a < audioPids_.size(); ++a) {
      if (t >= nextAudioNs_[a]) {
        nextAudioNs_[a] += kAudioFrameNs;
        if (esQueue_.size() < kMaxEsQueue) queueAudioFrame(audioPids_[a]);
      }
    }
    if (!esQueue_.empty()) return pop(esQueue_, dst);
    const uint64_t dataDue =
        static_cast<uint64_t>(static_cast<__int128>(t) * dataBitrate_ / 1000000000 / (kTsPacket * 8));
    if (!dataPids_.empty() && dataSent_ < dataDue) {
      ++dataSent_;
      dataPacket(dst, dataPids_[dataTurn_++ % dataPids_.size()]);
      return;
    }
    nullPacket(dst);
  }

  static void pop(std::deque<Packet>& q, uint8_t* dst) {
    std::copy(q.front().begin(), q.front().end(), dst);
    q.pop_front();
  }

  static void nullPacket(uint8_t* dst) {
    dst[0] = ts::kSync;
    dst[1] = 0x1F;
    dst[2] = 0xFF;
    dst[3] = 0x10;
    std::fill(dst + 4, dst + kTsPacket, 0xFF);
  }

  TsGenConfig cfg_;
  uint64_t bitrate_ = 0;
  uint64_t dataBitrate_ = 0;
  uint64_t index_ = 0;
  uint32_t rng_;
  std::array<uint8_t, 8192> cc_{};
  std::vector<uint16_t> pcrPids_, dataPids_, audioPids_, videoPids_;
  std::vector<int64_t> nextPcrNs_, nextAudioNs_, nextVideoNs_;
  const std::vector<uint8_t> picture_ = stillPicture();
  int64_t nextPsiNs_ = 0;
  uint64_t dataSent_ = 0;
  size_t dataTurn_ = 0;
  std::deque<Packet> psiQueue_, esQueue_;
};

}  // namespace

std::unique_ptr<TsSource> makeGeneratedSource(const TsGenConfig& config) {
  return std::make_unique<Generator>(config);
}

}  // namespace sim
