// Demodulator model: four banked slaves, reset, repeater, state from the system registers, and a
// table-driven signal model per standard (band decoding, lock condition, status and SNR registers).
#include "sim/demod_model.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <string>

#include "platform/host/clock.h"
#include "sim/demod_atsc.h"
#include "sim/demod_dvbc2.h"
#include "sim/demod_isdbc.h"
#include "sim/demod_isdbt.h"

namespace sim {
namespace {

constexpr int kMain = 0, kSys = 1;
constexpr int kBankSize = 256;

// The chip's fixed-point logarithm coding of its measurements (100 * log2 with a 32-entry mantissa table).
uint32_t log2x100(uint32_t x) {
  static constexpr uint8_t kFrac[32] = {0,  4,  9,  13, 17, 21, 25, 29, 32, 36, 39, 43, 46, 49, 52, 55,
                                        58, 61, 64, 67, 70, 73, 75, 78, 81, 83, 86, 88, 91, 93, 95, 98};
  uint32_t i = 0;
  for (uint32_t v = x; v > 1; v >>= 1) ++i;
  if (i == 0) return 0;
  uint32_t bits = i <= 5 ? ((x << (5 - i)) & 0xFF) & 0x1F : ((x >> (i - 5)) & 0xFF) & 0x1F;
  return 100 * i + kFrac[bits];
}
uint32_t log10x100(uint32_t x) { return (log2x100(x) * 100 + 166) / 332; }
uint32_t lnx100(uint32_t x) { return (log2x100(x) * 100 + 72) / 144; }

// The register word in [lo, hi] whose coded SNR (0.001 dB) is nearest to the target.
template <class Decode>
uint32_t snrWord(double cnrDb, uint32_t lo, uint32_t hi, Decode decode) {
  int64_t target = std::llround(cnrDb * 1000);
  uint32_t best = lo;
  int64_t bestErr = -1;
  for (uint32_t x = lo; x <= hi; ++x) {
    int64_t err = std::llabs(decode(x) - target);
    if (bestErr < 0 || err < bestErr) best = x, bestErr = err;
  }
  return best;
}

// Main-slave register file view: bank, register.
struct MainRegs {
  uint8_t* p;
  uint8_t& operator()(uint8_t bank, uint8_t r) const { return p[bank * kBankSize + r]; }
  bool equals(uint8_t bank, uint8_t r, std::initializer_list<uint8_t> bytes) const {
    for (uint8_t b : bytes)
      if ((*this)(bank, r++) != b) return false;
    return true;
  }
  bool equalsIf(uint8_t bank, uint8_t r, uint32_t v) const {
    return equals(bank, r, {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
  }
  void put16(uint8_t bank, uint8_t r, uint32_t v) const {
    (*this)(bank, r) = uint8_t(v >> 8);
    (*this)(bank, r + 1) = uint8_t(v);
  }
};

#define BLOCK_8 0x2F, 0xBA, 0x28, 0x9B, 0x28, 0x9D, 0x28, 0xA1, 0x29, 0xA5, 0x2A, 0xAC, 0x29, 0xB5
#define BLOCK_7 0x30, 0xB1, 0x29, 0x9A, 0x28, 0x9C, 0x28, 0xA0, 0x29, 0xA2, 0x2B, 0xA6, 0x2B, 0xAD
#define BLOCK_6 0x31, 0xA8, 0x29, 0x9B, 0x27, 0x9C, 0x28, 0x9E, 0x29, 0xA4, 0x29, 0xA2, 0x29, 0xA8
#define BLOCK_C 0x29, 0x9A, 0x28, 0x9E, 0x2F, 0xB9, 0x27, 0xA5, 0x28, 0xA9, 0x2B, 0xB0, 0x08, 0xD6

// Band settings the chip needs per bandwidth; a channel locks only with the whole set programmed.
uint32_t bandDvbt(const MainRegs& m) {
  if (m.equals(0x10, 0x9F, {0x15, 0, 0, 0, 0}) && m.equals(0x10, 0xA6, {BLOCK_8}) &&
      m.equalsIf(0x10, 0xB6, 0x19999A) && m(0x10, 0xD7) == 0x00 && m.equals(0x10, 0xD9, {0x15, 0x28}) &&
      m.equals(0x17, 0x38, {0x01, 0x02}))
    return 8000000;
  if (m.equals(0x10, 0x9F, {0x18, 0, 0, 0, 0}) && m.equals(0x10, 0xA6, {BLOCK_7}) &&
      m.equalsIf(0x10, 0xB6, 0x166666) && m(0x10, 0xD7) == 0x02 && m.equals(0x10, 0xD9, {0x1F, 0xF8}) &&
      m.equals(0x17, 0x38, {0x00, 0x03}))
    return 7000000;
  if (m.equals(0x10, 0x9F, {0x1C, 0, 0, 0, 0}) && m.equals(0x10, 0xA6, {BLOCK_6}) &&
      m.equalsIf(0x10, 0xB6, 0x133333) && m(0x10, 0xD7) == 0x04 && m.equals(0x10, 0xD9, {0x25, 0x4C}) &&
      m.equals(0x17, 0x38, {0x00, 0x03}))
    return 6000000;
  if (m.equals(0x10, 0x9F, {0x21, 0x99, 0x99, 0x99, 0x99}) && m.equals(0x10, 0xA6, {BLOCK_6}) &&
      m.equalsIf(0x10, 0xB6, 0x133333) && m(0x10, 0xD7) == 0x06 && m.equals(0x10, 0xD9, {0x2C, 0xC2}) &&
      m.equals(0x17, 0x38, {0x00, 0x03}))
    return 5000000;
  return 0;
}

uint32_t bandDvbt2(const MainRegs& m) {
  struct Row {
    uint32_t hz;
    std::initializer_list<uint8_t> trl;
    uint8_t r7a;
    std::initializer_list<uint8_t> block;
    uint8_t a5;
    uint32_t ifcfg;
    uint8_t d7;
  };
  const Row rows[] = {
      {8000000, {0x15, 0, 0, 0, 0}, 0x00, {BLOCK_8}, 0x01, 0x19999A, 0x00},
      {7000000, {0x18, 0, 0, 0, 0}, 0x00, {BLOCK_7}, 0x01, 0x166666, 0x02},
      {6000000, {0x1C, 0, 0, 0, 0}, 0x00, {BLOCK_6}, 0x01, 0x133333, 0x04},
      {5000000, {0x21, 0x99, 0x99, 0x99, 0x99}, 0x00, {BLOCK_6}, 0x01, 0x133333, 0x06},
      {1712000, {0x1A, 0x03, 0xE8, 0x8C, 0xB3}, 0x03, {}, 0x00, 0x12AAAB, 0x03},
  };
  for (const Row& r : rows)
    if (m.equals(0x20, 0x9F, r.trl) && m(0x27, 0x7A) == r.r7a &&
        (r.block.size() == 0 || m.equals(0x10, 0xA6, r.block)) && m(0x10, 0xA5) == r.a5 &&
        m.equalsIf(0x10, 0xB6, r.ifcfg) && m(0x10, 0xD7) == r.d7)
      return r.hz;
  return 0;
}

uint32_t bandDvbc(const MainRegs& m) {
  if (m.equals(0x10, 0xA6, {BLOCK_C}) && m.equalsIf(0x10, 0xB6, 0x1A2222) && m(0x11, 0xA3) == 0x00) {
    if (m.equals(0x40, 0x26, {0x09, 0x9A, 0x00, 0xEE})) return 8000000;
    if (m.equals(0x40, 0x26, {0x08, 0x66, 0x00, 0xEE})) return 7000000;
  }
  if (m.equals(0x10, 0xA6, {BLOCK_6}) && m.equalsIf(0x10, 0xB6, 0x13BBBC) && m(0x11, 0xA3) == 0x14 &&
      m.equals(0x40, 0x26, {0x07, 0x33, 0x00, 0xEE}))
    return 6000000;
  return 0;
}

// OFDM-style status byte: sync state in bits 2:0, unlock in bit 4, TS lock in bit 5.
uint8_t syncByte(const DemodModel::Status& s) {
  return static_cast<uint8_t>(s.syncState | (s.unlockDetected ? 0x10 : 0) | (s.locked ? 0x20 : 0));
}

void presentDvbt(const MainRegs& m, const DemodModel::Status& s, const std::vector<int32_t>&) {
  m(0x10, 0x10) = syncByte(s);
  uint32_t word = 0;
  if (s.mux && s.syncState >= 3)
    word = snrWord(s.mux->cnrDb, 1, 4996, [](uint32_t x) {
      return 100 * (int64_t(log10x100(x)) - int64_t(log10x100(5350 - x))) + 28500;
    });
  m.put16(0x10, 0x28, word);
  m(0x10, 0x40) = 0x04;  // echo field 1: the channel needs no echo optimisation
}

void presentDvbt2(const MainRegs& m, const DemodModel::Status& s, const std::vector<int32_t>& plps) {
  m(0x20, 0x10) = syncByte(s);
  uint32_t word = 0;
  if (s.mux && s.syncState >= 3)
    word = snrWord(s.mux->cnrDb, 1, 10876, [](uint32_t x) {
      return 100 * (int64_t(log10x100(x)) - int64_t(log10x100(12600 - x))) + 32000;
    });
  m.put16(0x20, 0x28, word);
  // L1 PLP list: valid once the demodulator has synchronised.
  bool l1 = s.mux && s.syncState >= 5;
  m(0x22, 0x12) = l1 ? 0x01 : 0x00;
  size_t n = l1 ? std::min<size_t>(plps.size(), 255) : 0;
  m(0x22, 0x7F) = static_cast<uint8_t>(n);
  for (size_t i = 0; i < n; ++i) {
    if (i < 128)
      m(0x22, static_cast<uint8_t>(0x80 + i)) = static_cast<uint8_t>(plps[i]);
    else
      m(0x23, static_cast<uint8_t>(0x10 + i - 128)) = static_cast<uint8_t>(plps[i]);
  }
}

void presentDvbc(const MainRegs& m, const DemodModel::Status& s, const std::vector<int32_t>&) {
  bool demodLock = s.mux && s.canLock && s.syncState >= 5;
  m(0x40, 0x88) = static_cast<uint8_t>((demodLock ? 0x01 : 0) | (s.unlockDetected ? 0x02 : 0));
  m(0x40, 0x10) = s.locked ? 0x20 : 0x00;
  m(0x40, 0x19) = 0x04;  // 256-QAM
  uint32_t word = 0;
  if (s.mux && s.syncState >= 3)
    word = snrWord(s.mux->cnrDb, 126, 0x1FFF, [](uint32_t x) { return 95941 - 95 * int64_t(lnx100(x)); });
  m.put16(0x40, 0x4C, word);
}

}  // namespace

struct DemodModel::Standard {
  DeliverySystem system;
  uint8_t selector;
  bool exactBandwidth;  // terrestrial: band settings must equal the channel's; cable: at least as wide
  uint32_t (*bandwidth)(const MainRegs&);
  void (*present)(const MainRegs&, const Status&, const std::vector<int32_t>& streamIds);
  // Data PLP / stream selected by the driver (kNoStreamId when the standard has none).
  int32_t (*streamId)(const MainRegs&);
  // Further needs of the channel (symbol-rate class, tuner system); null when there are none.
  bool (*fits)(const MainRegs&, const Multiplex&, const TunerModel::Tuning&) = nullptr;
};

namespace {
int32_t noStream(const MainRegs&) { return kNoStreamId; }
std::string muxKey(const Multiplex& m) {
  return m.name + "/" + std::to_string(m.frequencyHz) + "/" + std::to_string(m.streamId);
}
int32_t t2Plp(const MainRegs& m) { return m(0x23, 0xAD) == 1 ? m(0x23, 0xAF) : kNoStreamId; }

const DemodModel::Standard kStandards[] = {
    {DeliverySystem::DVBT, 0x01, true, bandDvbt, presentDvbt, noStream},
    {DeliverySystem::DVBT2, 0x02, true, bandDvbt2, presentDvbt2, t2Plp},
    {DeliverySystem::DVBC_ANNEX_A, 0x04, false, bandDvbc, presentDvbc, noStream},
    {DeliverySystem::DVBC_ANNEX_B, 0x08, true, [](const MainRegs& m) { return bandJ83b(m.p); },
     [](const MainRegs& m, const DemodModel::Status& s, const std::vector<int32_t>&) { presentJ83b(m.p, s); },
     noStream,
     [](const MainRegs& m, const Multiplex& x, const TunerModel::Tuning& t) { return fitsJ83b(m.p, x, t); }},
    {DeliverySystem::ISDBT, 0x06, true, [](const MainRegs& m) { return bandIsdbt(m.p); },
     [](const MainRegs& m, const DemodModel::Status& s, const std::vector<int32_t>&) {
       presentIsdbt(m.p, s);
     },
     noStream,
     [](const MainRegs& m, const Multiplex& x, const TunerModel::Tuning& t) { return fitsIsdbt(m.p, x, t); }},
    {DeliverySystem::DVBC2, 0x05, true, [](const MainRegs& m) { return bandDvbc2(m.p); },
     [](const MainRegs& m, const DemodModel::Status& s, const std::vector<int32_t>&) {
       presentDvbc2(m.p, s);
     },
     [](const MainRegs& m) { return dvbc2Plp(m.p); },
     [](const MainRegs& m, const Multiplex& x, const TunerModel::Tuning& t) { return fitsDvbc2(m.p, x, t); }},
    {DeliverySystem::ISDBC, kIsdbcSelector, false, [](const MainRegs& m) { return bandIsdbc(m.p); },
     presentDvbc, [](const MainRegs& m) { return isdbcStreamId(m.p); },
     [](const MainRegs& m, const Multiplex& x, const TunerModel::Tuning& t) { return fitsIsdbc(m.p, x, t); }},
    {DeliverySystem::ATSC, kAtscSelector, true, [](const MainRegs& m) { return bandAtsc(m.p); },
     [](const MainRegs& m, const DemodModel::Status& s, const std::vector<int32_t>&) { presentAtsc(m.p, s); },
     noStream,
     [](const MainRegs& m, const Multiplex& x, const TunerModel::Tuning& t) { return fitsAtsc(m.p, x, t); }},
};
}  // namespace

uint8_t demodMainAddress(int path) {
  static constexpr uint8_t kByIndex[4] = {0xDA, 0xC8, 0xD8, 0xCA};
  return kByIndex[path & 3];
}

uint8_t demodSlaveAddress(uint8_t mainAddr, DemodSlave slave) {
  switch (slave) {
    case DemodSlave::Main:
      return mainAddr;
    case DemodSlave::Sys:
      return static_cast<uint8_t>(mainAddr + 4);
    case DemodSlave::R:
      return static_cast<uint8_t>(mainAddr - 0x40);
    case DemodSlave::Mon:
      return static_cast<uint8_t>(mainAddr + 0x58);
  }
  return mainAddr;
}

bool DemodModel::Signature::operator==(const Signature& o) const {
  return selector == o.selector && bandwidthHz == o.bandwidthHz && streamId == o.streamId &&
         tuning.valid == o.tuning.valid && tuning.frequencyKHz == o.tuning.frequencyKHz &&
         tuning.filterHz == o.tuning.filterHz && tuning.analog == o.tuning.analog;
}

DemodModel::DemodModel(uint8_t mainAddr, std::shared_ptr<Air> air, TunerModel& tuner, DemodOptions options)
    : _air(std::move(air)), _tuner(tuner), _opt(options), _regs(4 * 256 * kBankSize) {
  for (int s = 0; s < 4; ++s) _addr[s] = demodSlaveAddress(mainAddr, static_cast<DemodSlave>(s));
  std::lock_guard g(_m);
  powerOnLocked();
}

DemodModel::~DemodModel() {
  if (_watcher.joinable()) {
    _watcher.request_stop();
    _watcher.join();
  }
}

void DemodModel::powerOnLocked() {
  std::fill(_regs.begin(), _regs.end(), 0);
  for (auto& b : _bank) b = 0;
  _cur = -1;
  _tuneEnded = false;
  // Upper bits of 0xFB are not part of the id.
  at(kSys, 0, 0xFB) = static_cast<uint8_t>(0x50 | ((_opt.chipId >> 8) & 0x03));
  at(kSys, 0, 0xFD) = static_cast<uint8_t>(_opt.chipId & 0xFF);
  at(kSys, 0, 0x02) = 0x01;  // shut down until woken
  at(kSys, 0, 0x10) = 0x01;
  at(kSys, 0, 0x17) = 0x01;
  at(kSys, 0, 0x18) = 0x01;   // sleep
  at(kMain, 0, 0xC3) = 0x01;  // TS output off
  at(kMain, 0, 0x80) = 0x1F;
  at(kMain, 0, 0x81) = 0xFF;  // TS pins high impedance
}

int DemodModel::slaveOf(uint8_t addr8) const {
  for (int s = 0; s < 4; ++s)
    if (_addr[s] == (addr8 & 0xFE)) return s;
  return -1;
}

bool DemodModel::start(uint8_t addr8, bool read) {
  std::lock_guard g(_m);
  int s = slaveOf(addr8);
  if (_reset || s < 0) return false;
  if (read && s == kSys && _chipIdUnreadable && _bank[kSys] == 0 && (_ptr == 0xFB || _ptr == 0xFD))
    return false;
  _cur = s;
  _reading = read;
  _gotPtr = false;
  // The ATSC core reports on the monitor slave.
  const bool statusSlave = s == kMain || s == static_cast<int>(DemodSlave::Mon);
  if (read && statusSlave && !(at(kMain, 0, 0x01) & 1)) presentStatusLocked();
  return true;
}

bool DemodModel::writeByte(uint8_t byte) {
  std::lock_guard g(_m);
  if (_reset || _cur < 0 || _reading) return false;
  if (!_gotPtr) {
    _ptr = byte;
    _gotPtr = true;
    return true;
  }
  onWriteLocked(_cur, _bank[_cur], _ptr, byte);
  ++_ptr;
  return true;
}

uint8_t DemodModel::readByte() {
  std::lock_guard g(_m);
  if (_reset || _cur < 0 || !_reading) return 0xFF;
  uint8_t r = _ptr++;
  if (r == 0x00) return _bank[_cur];
  return at(_cur, _bank[_cur], r);
}

void DemodModel::stop() {
  std::lock_guard g(_m);
  _cur = -1;
}

// Registers that act the same in every bank: bank selector, main freeze, system power and repeater.
static bool isGlobal(int slave, uint8_t r) {
  return (slave == kMain && r == 0x01) || (slave == kSys && (r == 0x02 || r == 0x08));
}

void DemodModel::onWriteLocked(int slave, uint8_t bank, uint8_t r, uint8_t v) {
  if (r == 0x00) {
    _bank[slave] = v;
    return;
  }
  if (slave == kSys && bank == 0 && (r == 0xFB || r == 0xFD)) return;  // chip id is read-only
  if (isGlobal(slave, r)) bank = 0;
  // Freezing latches the monitors as they are at this moment.
  if (slave == kMain && r == 0x01 && (v & 1) && !(at(kMain, 0, 0x01) & 1)) presentStatusLocked();
  at(slave, bank, r) = v;
  if (slave == static_cast<int>(DemodSlave::R)) atscCommandLocked(bank, r, v);
  // The ATSC core restarts only by its own soft-reset command.
  if (slave == kMain && bank == 0 && r == 0xFE && (v & 1) && stateLocked() == State::Active &&
      at(kSys, 0, 0x17) != kAtscSelector) {
    // Tune end / soft reset: acquisition starts over with what is programmed now.
    if (const Standard* st = standardLocked()) {
      _tuneEnded = true;
      _tuneEndNs = host::clock::nowNs();
      _tuneSig = signatureLocked(*st);
    } else {
      _tuneEnded = false;
    }
  }
  if (slave == kSys && bank == 0 && (r == 0x18 || r == 0x17 || r == 0x02)) {
    if (stateLocked() != State::Active) _tuneEnded = false;
  }
}

// The ATSC core's settings and its soft reset arrive through the slave R mailbox.
void DemodModel::atscCommandLocked(uint8_t bank, uint8_t r, uint8_t v) {
  const Standard* st = standardLocked();
  const bool atsc = st && st->system == DeliverySystem::ATSC;
  switch (atscSlaveRWritten(_regs.data(), bank, r, v, atsc, atsc && _tuneEnded)) {
    case AtscCommandEffect::SoftReset:
      _tuneEnded = true;
      _tuneEndNs = host::clock::nowNs();
      _tuneSig = signatureLocked(*st);
      break;
    case AtscCommandEffect::Abort:
      if (atsc) _tuneEnded = false;
      break;
    case AtscCommandEffect::None:
      break;
  }
}

void DemodModel::setReset(bool held) {
  {
    std::lock_guard g(_m);
    if (held == _reset) return;
    _reset = held;
    if (!held)
      powerOnLocked();
    else
      _tuneEnded = false;
  }
}

bool DemodModel::inReset() const {
  std::lock_guard g(_m);
  return _reset;
}

bool DemodModel::repeaterOpen() const {
  std::lock_guard g(_m);
  return !_reset && (at(kSys, 0, 0x08) & 1);
}

DemodModel::State DemodModel::stateLocked() const {
  if (_reset || at(kSys, 0, 0x02) != 0) return State::Shutdown;
  return at(kSys, 0, 0x18) == 0 ? State::Active : State::Sleep;
}

DemodModel::State DemodModel::state() const {
  std::lock_guard g(_m);
  return stateLocked();
}

const DemodModel::Standard* DemodModel::standardLocked() const {
  if (stateLocked() != State::Active) return nullptr;
  uint8_t sel = at(kSys, 0, 0x17);
  for (const auto& s : kStandards)
    if (s.selector == sel) return &s;
  return nullptr;
}

std::optional<DeliverySystem> DemodModel::activeSystem() const {
  std::lock_guard g(_m);
  const Standard* s = standardLocked();
  if (!s) return std::nullopt;
  return s->system;
}

bool DemodModel::tsOutputEnabled() const {
  std::lock_guard g(_m);
  return stateLocked() == State::Active && at(kMain, 0, 0xC3) == 0x00;
}

DemodModel::Signature DemodModel::signatureLocked(const Standard& s) const {
  MainRegs m{const_cast<uint8_t*>(_regs.data())};  // main slave is the first block
  Signature sig;
  sig.selector = s.selector;
  sig.bandwidthHz = s.bandwidth(m);
  sig.tuning = _tuner.tuning();
  sig.streamId = s.streamId(m);
  return sig;
}

DemodModel::Status DemodModel::statusLocked() const {
  Status st;
  const Standard* s = standardLocked();
  if (!s || !_tuneEnded) return st;
  st.tuneEnded = true;
  Signature now = signatureLocked(*s);
  const SystemLimits& lim = systemLimits(s->system);
  int64_t elapsed = host::clock::nowNs() - _tuneEndNs;
  if (now.tuning.valid && !now.tuning.analog && _air)
    st.mux = _air->find(s->system, uint64_t{now.tuning.frequencyKHz} * 1000, lim.toleranceHz, now.streamId);
  st.signal = st.mux.has_value();
  if (st.mux) {
    const Multiplex& mx = *st.mux;
    bool bwOk = s->exactBandwidth ? now.bandwidthHz == mx.bandwidthHz : now.bandwidthHz >= mx.bandwidthHz;
    st.canLock = now == _tuneSig && bwOk && now.tuning.filterHz >= mx.bandwidthHz &&
                 mx.cnrDb >= lim.minCnrDb && !_refuseLock &&
                 (!s->fits || s->fits(MainRegs{const_cast<uint8_t*>(_regs.data())}, mx, now.tuning));
  }
  // Sync state climbs through acquisition; a channel that cannot lock stalls and is declared unlocked.
  int64_t acq = lim.acquisitionNs;
  int ramp = static_cast<int>(std::min<int64_t>(5, elapsed * 6 / acq));
  if (st.canLock) {
    st.locked = elapsed >= acq;
    st.syncState = static_cast<uint8_t>(st.locked ? 6 : ramp);
  } else {
    st.syncState = static_cast<uint8_t>(st.signal ? std::min(ramp, 3) : std::min(ramp, 1));
    st.unlockDetected = elapsed >= acq;
  }
  return st;
}

DemodModel::Status DemodModel::status() const {
  std::lock_guard g(_m);
  return statusLocked();
}

void DemodModel::presentStatusLocked() {
  const Standard* s = standardLocked();
  if (!s) return;
  Status st = statusLocked();
  std::vector<int32_t> ids;
  if (st.mux && _air)
    ids = _air->streamIds(s->system, st.mux->frequencyHz, systemLimits(s->system).toleranceHz);
  s->present(MainRegs{&at(kMain, 0, 0)}, st, ids);
}

bool DemodModel::locked() const { return status().locked; }

std::optional<Multiplex> DemodModel::lockedMultiplex() const {
  Status st = status();
  if (!st.locked) return std::nullopt;
  return st.mux;
}

std::shared_ptr<TsSource> DemodModel::stream() {
  std::optional<Multiplex> mux;
  {
    std::lock_guard g(_m);
    Status st = statusLocked();
    if (st.locked && stateLocked() == State::Active && at(kMain, 0, 0xC3) == 0x00) mux = st.mux;
    if (!mux) {
      _srcMux.clear();
      _src.reset();
      return nullptr;
    }
    if (_src && _srcMux == muxKey(*mux)) return _src;
  }
  // Made outside the lock: a file source reads its file.
  std::shared_ptr<TsSource> src = _air->makeSource(*mux);
  std::lock_guard g(_m);
  _srcMux = src ? muxKey(*mux) : std::string();
  _src = src;
  return _src;
}

void DemodModel::setStreamListener(std::function<void()> listener) {
  bool stopping = !listener;
  if (stopping && _watcher.joinable()) {
    // No call of the old listener may still be running when this returns.
    _watcher.request_stop();
    _watcher.join();
  }
  {
    std::lock_guard g(_listenerM);
    _listener = std::move(listener);
    _notified.reset();
  }
  if (!stopping && !_watcher.joinable()) _watcher = std::jthread([this](std::stop_token st) { watch(st); });
}

// Lock comes and goes with time and the air, not only with bus traffic; look often enough that a DMA
// channel is re-pointed within a few milliseconds.
void DemodModel::watch(std::stop_token st) {
  std::mutex m;
  std::condition_variable_any cv;
  std::unique_lock lk(m);
  while (!st.stop_requested()) {
    std::shared_ptr<TsSource> cur = stream();
    std::function<void()> fn;
    {
      std::lock_guard g(_listenerM);
      if (cur != _notified) {
        _notified = cur;
        fn = _listener;
      }
    }
    if (fn) fn();
    cv.wait_for(lk, st, std::chrono::milliseconds(2), [] { return false; });
  }
}

uint8_t DemodModel::reg(DemodSlave slave, uint8_t bank, uint8_t r) const {
  std::lock_guard g(_m);
  int s = static_cast<int>(slave);
  if (r == 0x00) return _bank[s];
  if (isGlobal(s, r)) bank = 0;
  return at(s, bank, r);
}

void DemodModel::setRefuseLock(bool refuse) {
  std::lock_guard g(_m);
  _refuseLock = refuse;
}

void DemodModel::setChipIdUnreadable(bool unreadable) {
  std::lock_guard g(_m);
  _chipIdUnreadable = unreadable;
}

bool DemodModel::Port::start(uint8_t addr8, bool read) {
  _active = false;
  if ((addr8 & 0xFE) != kTunerAddress || !_d.repeaterOpen()) return false;
  _active = _d._tuner.start(addr8, read);
  return _active;
}

bool DemodModel::Port::writeByte(uint8_t byte) { return _active && _d._tuner.writeByte(byte); }

uint8_t DemodModel::Port::readByte() { return _active ? _d._tuner.readByte() : 0xFF; }

void DemodModel::Port::stop() {
  if (_active) _d._tuner.stop();
  _active = false;
}

}  // namespace sim
