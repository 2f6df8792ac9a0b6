// Tuner model: register file, variant probing, tune-block decoding, AGC words from the air.
#include "sim/tuner_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/host/clock.h"
#include "sim/air.h"

namespace sim {
namespace {

// The chip's settings per system (c0..c15), as its tune block carries them; used to tell which system a
// block was programmed for.
constexpr uint8_t kSystemRows[32][16] = {
    {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x05, 0x03, 0x06, 0x03, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x05, 0x03, 0x06, 0x03, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x05, 0x03, 0x06, 0x03, 0x01, 0x01, 0x01, 0x00, 0x00, 0x03, 0x01, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x05, 0x03, 0x06, 0x03, 0x01, 0x01, 0x01, 0x00, 0x01, 0x0B, 0x05, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x05, 0x03, 0x06, 0x03, 0x01, 0x01, 0x01, 0x00, 0x02, 0x02, 0x1D, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x05, 0x03, 0x06, 0x03, 0x01, 0x01, 0x01, 0x00, 0x02, 0x02, 0x1D, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x03, 0x04, 0x0A, 0x04, 0x04, 0x04, 0x04, 0x00, 0x02, 0x02, 0x1D, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x03, 0x04, 0x0A, 0x04, 0x04, 0x04, 0x04, 0x00, 0x02, 0x1F, 0x04, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x03, 0x03, 0x03, 0x00, 0x00, 0x1A, 0x1D, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x00, 0x1A, 0x1D, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x00, 0x17, 0x1B, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x01, 0x19, 0x1A, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x02, 0x1B, 0x19, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x00, 0x18, 0x1D, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x00, 0x18, 0x1D, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x01, 0x1A, 0x1B, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x02, 0x1C, 0x1A, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x03, 0x16, 0x16, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x00, 0x18, 0x1D, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x00, 0x18, 0x1D, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x01, 0x1A, 0x1B, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x02, 0x1C, 0x1A, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x04, 0x02, 0x02, 0x02, 0x01, 0x01, 0x01, 0x00, 0x00, 0x1A, 0x1C, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x04, 0x02, 0x02, 0x02, 0x01, 0x01, 0x01, 0x00, 0x02, 0x1E, 0x1D, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x02, 0x09, 0x09, 0x09, 0x02, 0x02, 0x02, 0x00, 0x00, 0x1A, 0x1E, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x02, 0x09, 0x09, 0x09, 0x02, 0x02, 0x02, 0x00, 0x02, 0x1E, 0x00, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x00, 0x18, 0x1D, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x01, 0x1A, 0x1B, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x08, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x02, 0x1C, 0x1A, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x04, 0x02, 0x02, 0x02, 0x01, 0x01, 0x01, 0x00, 0x00, 0x1B, 0x02, 0xFF, 0xFF, 0x00},
    {0x00, 0xFF, 0x03, 0x0B, 0x0B, 0x0B, 0x02, 0x02, 0x02, 0x00, 0x02, 0x02, 0x01, 0xFF, 0xFF, 0x00},
};

// Level correction per system row: the IF path of each standard family loses a different amount before
// the detector (ATSC and ISDB-T rows more, cable rows less).
int rowOffsetCentiDb(int row) {
  if (row == 9) return -500;
  if (row >= 11 && row <= 13) return -450;
  if (row == 23 || row == 24 || row == 30) return -150;
  return -400;
}

constexpr int kGainStep[16] = {0, 0, 0, 0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 20, 20};

int rfGainMax(uint32_t f) {
  if (f > 700000) return 4150;
  if (f > 600000) return 4130;
  if (f > 532000) return 4170;
  if (f > 464000) return 4050;
  if (f > 400000) return 4280;
  if (f > 350000) return 4260;
  if (f > 320000) return 4110;
  if (f > 285000) return 4310;
  if (f > 215000) return 4250;
  if (f > 184000) return 4020;
  if (f > 172000) return 3920;
  if (f > 150000) return 4080;
  if (f > 86000) return 4180;
  if (f > 65000) return 4200;
  return 4020;
}

constexpr uint8_t kTuneBlockStart = 0x68;
constexpr int kTuneBlockLen = 17;

// What the board programs: crystal 2, oscillator load 4 and drive 0x28, reference output level 3.
constexpr uint8_t kPowerOnBlock[20] = {0x18, 0x84, 0xA8, 0x82, 0x00, 0x00, 0xC4, 0x40, 0x10, 0x00,
                                       0x45, 0x75, 0x07, 0x1C, 0x3F, 0x02, 0x10, 0x20, 0x0A, 0x00};
constexpr int64_t kPowerOnReadyNs = 16 * host::clock::kMs;
constexpr int64_t kPllSettleNs = 80 * host::clock::kMs;

bool isCable(int row) { return row == 23 || row == 24 || row == 30; }

// Registers the chip has: power-on, probe and trim, calibration, IF, loop and tune blocks, AGC read-out.
bool knownTunerRegister(uint8_t r) {
  return r == 0x17 || r == 0x18 || r == 0x30 || r == 0x59 || r == 0x5A || (r >= 0x5E && r <= 0x78) ||
         (r >= 0x80 && r <= 0x95) || (r >= 0x99 && r <= 0x9D) || r == 0xB0 || r == 0xB1 || r == 0xB3;
}

}  // namespace

TunerModel::TunerModel(std::shared_ptr<const Air> air, TunerOptions options)
    : air_(std::move(air)), opt_(options) {
  powerOn();
}

void TunerModel::powerOn() {
  std::lock_guard g(m_);
  regs_.fill(0);
  regs_[0x7F] = opt_.chipId;
  ptr_ = 0;
  selected_ = reading_ = gotSubaddr_ = false;
  tuneWriteStart_ = -1;
  burstLen_ = 0;
  tuning_ = Tuning{};
  startNs_ = blockNs_ = -1;
  stickyFault_.clear();
  unknown_ = 0;
  unknownLog_.clear();
}

int TunerModel::variant() const {
  if ((opt_.chipId & 0xF0) == 0xE0) return 3;
  return opt_.probeVariant;
}

bool TunerModel::start(uint8_t addr8, bool read) {
  std::lock_guard g(m_);
  if ((addr8 & 0xFE) != kTunerAddress) return false;
  selected_ = true;
  reading_ = read;
  gotSubaddr_ = false;
  tuneWriteStart_ = -1;
  burstLen_ = 0;
  return true;
}

bool TunerModel::writeByte(uint8_t byte) {
  std::lock_guard g(m_);
  if (!selected_ || reading_) return false;
  if (!gotSubaddr_) {
    ptr_ = byte;
    gotSubaddr_ = true;
    tuneWriteStart_ = byte;
    if (byte == kTuneBlockStart) {
      atBlock_[0] = regs_[0x74];
      atBlock_[1] = regs_[0x87];
      atBlock_[2] = regs_[0x88];
    }
    return true;
  }
  onWrite(ptr_, byte);
  ++ptr_;
  ++burstLen_;
  return true;
}

uint8_t TunerModel::readByte() {
  std::lock_guard g(m_);
  if (!selected_ || !reading_) return 0xFF;
  return onRead(ptr_++);
}

void TunerModel::stop() {
  std::lock_guard g(m_);
  if (selected_ && !reading_ && tuneWriteStart_ == kTuneBlockStart && burstLen_ >= kTuneBlockLen)
    decodeTune();
  selected_ = false;
  tuneWriteStart_ = -1;
  burstLen_ = 0;
}

void TunerModel::onWrite(uint8_t r, uint8_t v) {
  if (!knownTunerRegister(r)) {
    if (unknownLog_.size() < 16) {
      char b[32];
      std::snprintf(b, sizeof b, "tuner 0x%02x = %02x", r, v);
      unknownLog_.push_back(b);
    }
    ++unknown_;
  }
  if (r == 0x7F) return;  // chip id is read-only
  regs_[r] = v;
  if (r == 0x9B && v == 0x00) {  // a power-on starts over
    startNs_ = host::clock::nowNs();
    stickyFault_.clear();
  }
  if (r == 0x87 && v == 0xC0 && blockNs_ >= 0) tuneEnded();
}

uint8_t TunerModel::onRead(uint8_t r) {
  switch (r) {
    case 0x19:  // probe and trim read-backs, selected by the command in 0x17
      switch (regs_[0x17]) {
        case 0x8C:
          return variant() == 4 ? 0x08 : 0x00;
        case 0x96:
          return variant() == 1 ? 0x40 : 0x00;
        case 0x8D:
        case 0x2A:
          return 0x57;
        default:
          return 0x00;
      }
    case 0x1A:
      if (startNs_ >= 0 && host::clock::nowNs() - startNs_ < kPowerOnReadyNs) {
        char b[80];
        std::snprintf(b, sizeof b, "tuner power-on status read %.1f ms after start, it is ready after 16 ms",
                      (host::clock::nowNs() - startNs_) / 1e6);
        stickyFault_ = b;
        return 0x01;
      }
      return opt_.powerOnFault ? 0x01 : 0x00;
    case 0x5B:
      updateAgc();
      if (regs_[0x59] == 0x05) return ifAgc_;
      if (regs_[0x59] == 0x03) return rfAgc_;
      return 0x00;
    case 0xB4:
      return 0x2C;
    default:
      return regs_[r];
  }
}

void TunerModel::decodeTune() {
  const uint8_t* b = &regs_[kTuneBlockStart];
  Tuning t;
  t.valid = true;
  // Bit 4 of byte 10 carries frequency bit 20 (above 1048 MHz).
  t.frequencyKHz = b[8] | (b[9] << 8) | ((b[10] & 0x1F) << 16);
  t.analog = (b[10] & 0x80) != 0;
  static constexpr uint32_t kFilter[4] = {6000000, 7000000, 8000000, 1712000};
  t.filterHz = kFilter[b[5] & 3];
  t.cable = regs_[0x91] == 0x16 && regs_[0x92] == 0x26;
  int band = t.frequencyKHz <= 172000 ? 0 : t.frequencyKHz <= 464000 ? 1 : 2;
  for (int row = 1; row < 32 && !t.systemRow; ++row) {
    const uint8_t* c = kSystemRows[row];
    bool analogRow = row <= 8;
    if (analogRow != t.analog) continue;
    uint8_t b1 = static_cast<uint8_t>((c[1] == 0xFF ? 0x80 : ((c[1] << 4) & 0x70)) | (c[2] & 0x0F));
    if ((b[0] & 3) == (c[0] & 3) && b[1] == b1 && (b[3] & 0x0F) == (c[3 + band] & 0x0F) &&
        (b[4] & 0x07) == (c[6 + band] & 0x07) && b[5] == (((c[9] << 4) & 0x30) | (c[10] & 3)) &&
        (b[6] & 0x1F) == (c[11] & 0x1F) && (b[7] & 0x1F) == (c[12] & 0x1F))
      t.systemRow = row;
  }
  t.rfOffsetCentiDb = rowOffsetCentiDb(t.systemRow);
  tuning_ = t;
  blockNs_ = host::clock::nowNs();
}

void TunerModel::tuneEnded() {
  const int64_t settled = host::clock::nowNs() - blockNs_;
  blockNs_ = -1;
  tuning_.ended = true;
  tuning_.fault = checkTune();
  if (tuning_.fault.empty() && settled < kPllSettleNs) {
    char b[80];
    std::snprintf(b, sizeof b, "tuner tune ended %.1f ms after its tune block, the PLL needs 80 ms",
                  settled / 1e6);
    tuning_.fault = b;
  }
}

// The first register that differs from what the board's driver writes for the system tuned.
std::string TunerModel::checkTune() const {
  if (!stickyFault_.empty()) return stickyFault_;
  const int row = tuning_.systemRow;
  if (row == 0) return "tuner tune block matches no system";
  // The block is taken in tuning mode (0x87 = C4 40) with calibration 2 (0x74 bits 1:0; bit 4 is the last
  // block's).
  char b[80];
  if ((atBlock_[0] & 0xEF) != 0x02 || atBlock_[1] != 0xC4 || atBlock_[2] != 0x40) {
    std::snprintf(b, sizeof b,
                  "tuner 0x74 0x87 0x88 = %02x %02x %02x when the tune block came, needs 02 c4 40",
                  atBlock_[0], atBlock_[1], atBlock_[2]);
    return b;
  }
  const int v = variant();
  const uint32_t f = tuning_.frequencyKHz;
  const bool analog = row <= 8, cable = isCable(row), mid = f <= 464000;
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> want = {
      {0x81, {kPowerOnBlock, kPowerOnBlock + 6}},
      {0x89, {kPowerOnBlock + 8, kPowerOnBlock + 16}},
      {0x93, {0x0A, 0x00}},
      {0x99, {0x7A, 0x01, 0x00}},
      {0x80, {0x01}},
      {0x17, v == 3 ? std::vector<uint8_t>{0x2A, 0x0E} : std::vector<uint8_t>{0x8D, 0x06}},
      {0x95, {static_cast<uint8_t>(v == 3 ? 0x07 : 0x05)}},
      {0x67, {0x00}},
      {0x87, {0xC0, 0x00}},
      {0x91, cable ? std::vector<uint8_t>{0x16, 0x26} : std::vector<uint8_t>{0x10, 0x20}},
      {0x9C, {0x00, static_cast<uint8_t>(kSystemRows[row][15] & 1)}},
  };
  if (v == 3)
    for (auto [r, val] : {std::pair<uint8_t, uint8_t>{0xB0, 0x01}, {0x30, 0xE1}, {0xB1, 0x00}, {0xB3, 0x00}})
      want.push_back({r, {val}});
  // IF and loop block: crystal 2.
  std::vector<uint8_t> loop = {0xEE, 0x02, 0x1E, 0x67};
  loop.push_back(analog ? (mid ? 0x30 : 0x0C) : (v == 3 && cable) ? 0x18 : 0x03);
  std::vector<uint8_t> tail;
  if (v == 3)
    tail = analog  ? std::vector<uint8_t>{uint8_t(mid ? 0x38 : 0xB4), 0x78, 0x08, uint8_t(mid ? 0x1C : 0x3C)}
           : cable ? std::vector<uint8_t>{0x1C, 0x78, 0x08, 0x1C}
                   : std::vector<uint8_t>{0xB4, 0x78, 0x08, 0x30};
  else
    tail = analog  ? std::vector<uint8_t>{uint8_t(mid ? 0x40 : 0x80), 0x78, 0x08, uint8_t(mid ? 0x08 : 0x04)}
           : cable ? std::vector<uint8_t>{0x50, 0x78, 0x08, 0x30}
                   : std::vector<uint8_t>{0xAF, 0x78, 0x08, 0x30};
  loop.insert(loop.end(), tail.begin(), tail.end());
  want.push_back({0x5E, loop});
  // The tune block as built from the system row.
  const uint8_t* c = kSystemRows[row];
  const int band = f <= 172000 ? 0 : mid ? 1 : 2;
  std::vector<uint8_t> block = {
      static_cast<uint8_t>(c[0] & 3),
      static_cast<uint8_t>((c[1] == 0xFF ? 0x80 : ((c[1] << 4) & 0x70)) | (c[2] & 0x0F)),
      0x00,
      static_cast<uint8_t>(c[3 + band] & 0x0F),
      static_cast<uint8_t>((c[6 + band] & 7) | 0x20),
      static_cast<uint8_t>(((c[9] << 4) & 0x30) | (c[10] & 3)),
      static_cast<uint8_t>(c[11] & 0x1F),
      static_cast<uint8_t>(c[12] & 0x1F),
      static_cast<uint8_t>(f),
      static_cast<uint8_t>(f >> 8),
      static_cast<uint8_t>(((f >> 16) & 0x1F) | (row == 8 ? 0x40 : 0) | (analog ? 0x80 : 0)),
      0xFF,
      0x11,
  };
  if (analog || cable)
    block.insert(block.end(), {0xD9, 0x0F, static_cast<uint8_t>(v == 3 ? 0x24 : 0x25), 0x87});
  else if (v == 4 && f <= 100000)
    block.insert(block.end(), {0x09, 0x00, 0x27, 0x87});
  else
    block.insert(block.end(), {0x99, 0x00, 0x24, 0x87});
  want.push_back({kTuneBlockStart, block});
  for (const auto& [r, bytes] : want)
    for (size_t i = 0; i < bytes.size(); ++i)
      if (regs_[r + i] != bytes[i]) {
        std::snprintf(b, sizeof b, "tuner 0x%02zx = %02x, needs %02x", r + i, regs_[r + i], bytes[i]);
        return b;
      }
  return {};
}

bool TunerModel::sameSystem(int rowA, int rowB) {
  if (rowA < 0 || rowB < 0 || rowA >= 32 || rowB >= 32) return false;
  return std::equal(kSystemRows[rowA], kSystemRows[rowA] + 16, kSystemRows[rowB]);
}

int TunerModel::rssiCentiDb(uint8_t ifAgc, uint8_t rfAgc, uint8_t gainStepCode, uint32_t frequencyKHz,
                            int variant) {
  int ifAgcReg = ifAgc * 140;
  int ifGain = kGainStep[gainStepCode & 0x0F] * 100 + 870;
  if (ifAgcReg <= 9945) ifGain += ((9945 - ifAgcReg) * 769 + 1275) / 2550;
  int maxAgcReg = std::max(ifAgc, rfAgc) * 140;
  int gmax = rfGainMax(frequencyKHz);
  int rfGain;
  if (maxAgcReg < 4896)
    rfGain = gmax;
  else if (maxAgcReg < 5457)
    rfGain = gmax - ((maxAgcReg - 4896) * 70 + 127) / 255;
  else if (maxAgcReg < 8823)
    rfGain = gmax - 154;
  else if (maxAgcReg < 24786)
    rfGain = gmax - 154 - ((maxAgcReg - 8823) * 70 + 127) / 255;
  else if (maxAgcReg < 30090)
    rfGain = gmax - 4536 - ((maxAgcReg - 24786) * 57 + 127) / 255;
  else
    rfGain = gmax - 5722 - ((maxAgcReg - 30090) * 160 + 127) / 255;
  int rssi = -ifGain - rfGain;
  if (variant == 2) rssi += 220;
  return rssi;
}

void TunerModel::agcFor(int target, uint8_t gainStepCode, uint32_t frequencyKHz, int variant, uint8_t* ifAgc,
                        uint8_t* rfAgc) {
  // The loop settles where the detector reads the input level; search the words that report it best.
  int bestErr = -1;
  for (int i = 0; i < 256; ++i) {
    for (int r = 0; r < 256; ++r) {
      int err = std::abs(
          rssiCentiDb(static_cast<uint8_t>(i), static_cast<uint8_t>(r), gainStepCode, frequencyKHz, variant) -
          target);
      if (bestErr < 0 || err < bestErr) {
        bestErr = err;
        *ifAgc = static_cast<uint8_t>(i);
        *rfAgc = static_cast<uint8_t>(r);
      }
    }
  }
}

void TunerModel::updateAgc() {
  if (!tuning_.valid) {
    ifAgc_ = rfAgc_ = 0;
    return;
  }
  double level = air_ ? air_->rfLevelAt(uint64_t{tuning_.frequencyKHz} * 1000) : Air::kNoiseFloorDbm;
  int target = static_cast<int>(std::lround(level * 100)) - tuning_.rfOffsetCentiDb;
  agcFor(target, regs_[0x69], tuning_.frequencyKHz, variant(), &ifAgc_, &rfAgc_);
}

TunerModel::Tuning TunerModel::tuning() const {
  std::lock_guard g(m_);
  return tuning_;
}

uint8_t TunerModel::reg(uint8_t r) const {
  std::lock_guard g(m_);
  return regs_[r];
}

uint64_t TunerModel::unknownWrites() const {
  std::lock_guard g(m_);
  return unknown_;
}

std::vector<std::string> TunerModel::unknownWriteLog() const {
  std::lock_guard g(m_);
  return unknownLog_;
}

}  // namespace sim
