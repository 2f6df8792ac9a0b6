// Demodulator model: four banked slaves, reset, repeater, state from the system registers, the settings each
// standard needs (sim/demod_settings.h) and a signal model per standard (lock, status and SNR registers).
#include "sim/demod_model.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include "platform/host/clock.h"
#include "sim/demod_atsc.h"
#include "sim/demod_dvbc2.h"
#include "sim/demod_isdbc.h"
#include "sim/demod_isdbt.h"
#include "sim/demod_settings.h"

namespace sim {
namespace {

constexpr int kMain = 0, kSys = 1, kR = 2;
constexpr int64_t kPowerUpNs = 6 * host::clock::kMs;  // system 0x02 cleared: the core answers after this
constexpr int64_t kClockUpNs =
    36 * host::clock::kMs;  // system 0x10 cleared: main slave and repeater after this

// OFDM-style status byte: sync state in bits 2:0, unlock in bit 4, TS lock in bit 5.
uint8_t syncByte(const DemodModel::Status& s) {
  return static_cast<uint8_t>(s.syncState | (s.unlockDetected ? 0x10 : 0) | (s.locked ? 0x20 : 0));
}

void presentDvbt(const MainRegs& m, const DemodModel::Status& s, const std::vector<int32_t>&) {
  m(0x10, 0x10) = syncByte(s);
  uint32_t word = 0;
  if (s.mux && s.syncState >= 3)
    word = nearestWord(s.mux->cnrDb, 1, 4996,
                       [](uint32_t x) { return 100 * (log10x100(x) - log10x100(5350 - x)) + 28500; });
  m.put16(0x10, 0x28, word);
  m(0x10, 0x40) = 0x04;  // echo field 1: the channel needs no echo optimisation
}

void presentDvbt2(const MainRegs& m, const DemodModel::Status& s, const std::vector<int32_t>& plps) {
  m(0x20, 0x10) = syncByte(s);
  uint32_t word = 0;
  if (s.mux && s.syncState >= 3)
    word = nearestWord(s.mux->cnrDb, 1, 10876,
                       [](uint32_t x) { return 100 * (log10x100(x) - log10x100(12600 - x)) + 32000; });
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
    word = nearestWord(s.mux->cnrDb, 126, 0x1FFF, [](uint32_t x) { return 95941 - 95 * lnx100(x); });
  m.put16(0x40, 0x4C, word);
}

int32_t noStream(const MainRegs&) { return kNoStreamId; }
int32_t t2Plp(const MainRegs& m) { return m(0x23, 0xAD) == 1 ? m(0x23, 0xAF) : kNoStreamId; }

// A stream clocked out at another rate than the channel's.
class RatedSource : public TsSource {
 public:
  RatedSource(std::shared_ptr<TsSource> inner, double rate) : inner_(std::move(inner)), rate_(rate) {}
  void fill(uint8_t* dst, size_t packets) override { inner_->fill(dst, packets); }
  uint64_t bitrate() const override { return static_cast<uint64_t>(inner_->bitrate() * rate_); }

 private:
  std::shared_ptr<TsSource> inner_;
  double rate_;
};

std::string muxKey(const Multiplex& m, double rate) {
  return m.name + "/" + std::to_string(m.frequencyHz) + "/" + std::to_string(m.streamId) + "@" +
         std::to_string(rate);
}

std::string hex(uint8_t v) {
  char b[4];
  std::snprintf(b, sizeof b, "%02x", v);
  return b;
}

std::string ms(int64_t ns) {
  char b[16];
  std::snprintf(b, sizeof b, "%.1f ms", ns / 1e6);
  return b;
}

}  // namespace

struct DemodModel::Standard {
  DeliverySystem system;
  uint8_t selector;
  bool exactBandwidth;  // terrestrial: band settings must equal the channel's; cable: at least as wide
  const StandardSettings& settings;
  void (*present)(const MainRegs&, const Status&, const std::vector<int32_t>& streamIds);
  // Data PLP / stream selected by the driver (kNoStreamId when the standard has none).
  int32_t (*streamId)(const MainRegs&);
  // Why the channel needs something else besides the settings ("" when it fits); null when nothing else.
  std::string (*fits)(const MainRegs&, const Multiplex&, const BandSetting&) = nullptr;
};

namespace {
// clang-format off
const DemodModel::Standard kStandards[] = {
    {DeliverySystem::DVBT, 0x01, true, kDvbtSettings, presentDvbt, noStream},
    {DeliverySystem::DVBT2, 0x02, true, kDvbt2Settings, presentDvbt2, t2Plp},
    {DeliverySystem::DVBC_ANNEX_A, 0x04, false, kDvbcSettings, presentDvbc, noStream},
    {DeliverySystem::DVBC_ANNEX_B, 0x08, true, kJ83bSettings, presentJ83b, noStream, fitsJ83b},
    {DeliverySystem::ISDBT, 0x06, true, kIsdbtSettings, presentIsdbt, noStream},
    {DeliverySystem::DVBC2, 0x05, true, kDvbc2Settings, presentDvbc2, dvbc2Plp, fitsDvbc2},
    {DeliverySystem::ISDBC, kIsdbcSelector, false, kIsdbcSettings, presentDvbc, isdbcStreamId},
    {DeliverySystem::ATSC, kAtscSelector, true, kAtscSettings, presentAtsc, noStream},
};
// clang-format on
constexpr size_t kNone = std::size(kStandards);  // unknown writes while no standard was woken yet

const DemodModel::Standard* standardOf(uint8_t selector) {
  for (const auto& s : kStandards)
    if (s.selector == selector) return &s;
  return nullptr;
}
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
    : air_(std::move(air)), tuner_(tuner), opt_(options), regs_(4 * MainRegs::kSlave) {
  for (int s = 0; s < 4; ++s) addr_[s] = demodSlaveAddress(mainAddr, static_cast<DemodSlave>(s));
  std::lock_guard g(m_);
  powerOn_locked();
}

DemodModel::~DemodModel() {
  if (watcher_.joinable()) {
    watcher_.request_stop();
    watcher_.join();
  }
}

void DemodModel::powerOn_locked() {
  std::fill(regs_.begin(), regs_.end(), 0);
  for (auto& b : bank_) b = 0;
  cur_ = -1;
  tuneEnded_ = false;
  // Upper bits of 0xFB are not part of the id.
  at(kSys, 0, 0xFB) = static_cast<uint8_t>(0x50 | ((opt_.chipId >> 8) & 0x03));
  at(kSys, 0, 0xFD) = static_cast<uint8_t>(opt_.chipId & 0xFF);
  at(kSys, 0, 0x02) = 0x01;  // shut down until woken
  at(kSys, 0, 0x10) = 0x01;
  at(kSys, 0, 0x17) = 0x01;
  at(kSys, 0, 0x18) = 0x01;   // sleep
  at(kMain, 0, 0xC3) = 0x01;  // TS output off
  at(kMain, 0, 0x80) = 0x1F;
  at(kMain, 0, 0x81) = 0xFF;  // TS pins high impedance
  at(kMain, 0, 0x32) = 0x01;  // TS clock running, with nothing latched yet: no clock
  for (auto& c : tsClock_) c = 0;
  current_ = nullptr;
  sleepPending_ = atscRunning_ = false;
  stickyFault_.clear();
  atscFault_.clear();
  poweredNs_ = clockNs_ = -1;
  unknown_.assign(kNone + 1, 0);
  unknownLog_.clear();
}

int DemodModel::slaveOf(uint8_t addr8) const {
  for (int s = 0; s < 4; ++s)
    if (addr_[s] == (addr8 & 0xFE)) return s;
  return -1;
}

// The core needs time after power-up, and its clock after being started, before it answers: an access
// earlier is not acknowledged, and remembered.
bool DemodModel::tooEarly_locked(int slave) {
  const int64_t now = host::clock::nowNs();
  std::string why;
  if (poweredNs_ >= 0 && now - poweredNs_ < kPowerUpNs)
    why = "accessed " + ms(now - poweredNs_) + " after the core was powered up (system 0x02), it needs 6 ms";
  else if (slave == kMain && clockNs_ >= 0 && now - clockNs_ < kClockUpNs)
    why = "main slave accessed " + ms(now - clockNs_) +
          " after the clock was started (system 0x10), it needs 36 ms";
  if (why.empty()) return false;
  if (stickyFault_.empty()) stickyFault_ = why;
  return true;
}

bool DemodModel::start(uint8_t addr8, bool read) {
  std::lock_guard g(m_);
  int s = slaveOf(addr8);
  if (reset_ || s < 0 || tooEarly_locked(s)) return false;
  if (read && s == kSys && chipIdUnreadable_ && bank_[kSys] == 0 && (ptr_ == 0xFB || ptr_ == 0xFD))
    return false;
  cur_ = s;
  reading_ = read;
  gotPtr_ = false;
  // The ATSC core reports on the monitor slave.
  const bool statusSlave = s == kMain || s == static_cast<int>(DemodSlave::Mon);
  if (read && statusSlave && !(at(kMain, 0, 0x01) & 1)) presentStatus_locked();
  return true;
}

bool DemodModel::writeByte(uint8_t byte) {
  std::lock_guard g(m_);
  if (reset_ || cur_ < 0 || reading_) return false;
  if (!gotPtr_) {
    ptr_ = byte;
    gotPtr_ = true;
    return true;
  }
  // The repeater to the tuner works once the clock runs.
  if (cur_ == kSys && ptr_ == 0x08 && (byte & 1) && tooEarly_locked(kMain)) return false;
  onWrite_locked(cur_, bank_[cur_], ptr_, byte);
  ++ptr_;
  return true;
}

uint8_t DemodModel::readByte() {
  std::lock_guard g(m_);
  if (reset_ || cur_ < 0 || !reading_) return 0xFF;
  uint8_t r = ptr_++;
  if (r == 0x00) return bank_[cur_];
  return at(cur_, bank_[cur_], r);
}

void DemodModel::stop() {
  std::lock_guard g(m_);
  cur_ = -1;
}

void DemodModel::countUnknown_locked(int slave, uint8_t bank, uint8_t r, uint8_t v) {
  if (knownRegister(static_cast<DemodSlave>(slave), bank, r)) return;
  ++unknown_[current_ ? static_cast<size_t>(current_ - kStandards) : kNone];
  if (unknownLog_.size() < 16) {
    char b[8];
    std::snprintf(b, sizeof b, " = %02x", v);
    unknownLog_.push_back(std::string(current_ ? current_->settings.name : "none") + ": " +
                          describe(static_cast<DemodSlave>(slave), bank, r) + b);
  }
}

void DemodModel::onWrite_locked(int slave, uint8_t bank, uint8_t r, uint8_t v) {
  if (r == 0x00) {
    bank_[slave] = v;
    return;
  }
  if (slave == kSys && bank == 0 && (r == 0xFB || r == 0xFD)) return;  // chip id is read-only
  if (globalRegister(static_cast<DemodSlave>(slave), r)) bank = 0;
  countUnknown_locked(slave, bank, r, v);
  // Freezing latches the monitors as they are at this moment.
  if (slave == kMain && r == 0x01 && (v & 1) && !(at(kMain, 0, 0x01) & 1)) presentStatus_locked();
  const uint8_t old = at(slave, bank, r);
  at(slave, bank, r) = v;
  // The TS clock takes its settings when it is restarted.
  if (slave == kMain && bank == 0 && r == 0x32 && !(old & 1) && (v & 1)) {
    tsClock_[0] = at(kMain, 0, 0xC4) & 0x03;
    tsClock_[1] = at(kMain, 0, 0xD1) & 0x03;
    tsClock_[2] = at(kMain, 0, 0xD9);
    tsClock_[3] = at(kMain, 0, 0x33) & 0x03;
  }
  if (slave == kR) atscCommand_locked(bank, r, v);
  if (slave == kSys && bank == 0) onSystemWrite_locked(r, old, v);
  // The ATSC core restarts only by its own soft-reset command.
  if (slave == kMain && bank == 0 && r == 0xFE && (v & 1) && state_locked() == State::Active &&
      at(kSys, 0, 0x17) != kAtscSelector) {
    // Tune end / soft reset: acquisition starts over with what is programmed now.
    if (const Standard* st = standard_locked()) {
      tuneEnded_ = true;
      tuneEndNs_ = host::clock::nowNs();
      tuneSig_ = signature_locked(*st);
    } else {
      tuneEnded_ = false;
    }
  }
}

// Power, clock, selector and sleep on the system slave; a sleep ends with its selector write, when the chip
// checks that the standard it leaves is put back as its sleep sequence must leave it.
void DemodModel::onSystemWrite_locked(uint8_t r, uint8_t old, uint8_t v) {
  const int64_t now = host::clock::nowNs();
  if (r == 0x02 && v == 0x00) {
    poweredNs_ = now;
    sleepPending_ = false;
  }
  if (r == 0x10 && v == 0x00 && old != 0x00) clockNs_ = now;
  if (r == 0x08 && (v & 0xFE) && stickyFault_.empty())
    stickyFault_ = "system 0x08 = " + hex(v) + ": the repeater register has only bit 0";
  const bool wasActive = at(kSys, 0, 0x02) == 0 && (r == 0x18 ? old : at(kSys, 0, 0x18)) == 0;
  if (r == 0x18 && wasActive && v != 0) sleepPending_ = true;
  if (r == 0x18 && v == 0 && state_locked() == State::Active) {
    atscFault_.clear();
    atscRunning_ = at(kSys, 0, 0x17) == kAtscSelector;  // it wakes running its last program
  }
  if (r == 0x17) {
    if (sleepPending_) {
      sleepPending_ = false;
      if (stickyFault_.empty() && v != 0x01)
        stickyFault_ = "sleep left " + describe(DemodSlave::Sys, 0, 0x17) + " = " + hex(v) + ", needs 01";
      if (stickyFault_.empty()) {
        if (Finding f = sleepMismatch(regs(), current_ ? &current_->settings : nullptr))
          stickyFault_ = "sleep left " + f.text;
        else if (atscRunning_)
          stickyFault_ = "sleep left the ATSC core running (no abort)";
      }
    } else if (state_locked() == State::Active) {
      if (stickyFault_.empty()) stickyFault_ = "system selector changed while active";
    } else {
      current_ = standardOf(v);
    }
  }
  if (state_locked() != State::Active) tuneEnded_ = false;
}

// The ATSC core's settings and its soft reset arrive through the slave R mailbox.
void DemodModel::atscCommand_locked(uint8_t bank, uint8_t r, uint8_t v) {
  const Standard* st = standard_locked();
  const bool atsc = st && st->system == DeliverySystem::ATSC;
  const AtscCommand c = atscSlaveRWritten(regs(), bank, r, v, atsc, atscRunning_);
  switch (c.kind) {
    case AtscCommand::SoftReset:
      atscRunning_ = true;
      tuneEnded_ = true;
      tuneEndNs_ = host::clock::nowNs();
      tuneSig_ = signature_locked(*st);
      break;
    case AtscCommand::Abort:
      atscRunning_ = false;
      if (atsc) tuneEnded_ = false;
      break;
    case AtscCommand::Wrote:
      countUnknown_locked(kR, c.bank, c.reg, at(kR, c.bank, c.reg));
      break;
    case AtscCommand::Refused:
      if (atscFault_.empty())
        atscFault_ = r == 0x48 ? "slave R 0x01:0x48 = " + hex(v) + ", the ATSC core's abort is 01"
                               : "slave R register write while the ATSC core runs: it needs an abort first";
      break;
    case AtscCommand::None:
      break;
  }
}

void DemodModel::setReset(bool held) {
  {
    std::lock_guard g(m_);
    if (held == reset_) return;
    reset_ = held;
    if (!held)
      powerOn_locked();
    else
      tuneEnded_ = false;
  }
}

bool DemodModel::inReset() const {
  std::lock_guard g(m_);
  return reset_;
}

bool DemodModel::repeaterOpen() const {
  std::lock_guard g(m_);
  return !reset_ && (at(kSys, 0, 0x08) & 1);
}

DemodModel::State DemodModel::state_locked() const {
  if (reset_ || at(kSys, 0, 0x02) != 0) return State::Shutdown;
  return at(kSys, 0, 0x18) == 0 ? State::Active : State::Sleep;
}

DemodModel::State DemodModel::state() const {
  std::lock_guard g(m_);
  return state_locked();
}

const DemodModel::Standard* DemodModel::standard_locked() const {
  if (state_locked() != State::Active) return nullptr;
  return standardOf(at(kSys, 0, 0x17));
}

std::optional<DeliverySystem> DemodModel::activeSystem() const {
  std::lock_guard g(m_);
  const Standard* s = standard_locked();
  if (!s) return std::nullopt;
  return s->system;
}

bool DemodModel::tsOutputEnabled() const {
  std::lock_guard g(m_);
  return state_locked() == State::Active && at(kMain, 0, 0xC3) == 0x00;
}

DemodModel::Signature DemodModel::signature_locked(const Standard& s) const {
  Signature sig;
  sig.selector = s.selector;
  const BandSetting* band = bandOf(regs(), s.settings, nullptr);
  sig.bandwidthHz = band ? band->hz : 0;
  sig.tuning = tuner_.tuning();
  sig.streamId = s.streamId(regs());
  return sig;
}

// Why the channel cannot lock whatever the air holds ("" when everything the chip needs is in place).
std::string DemodModel::lockFault_locked(const Standard& s, const Signature& now) const {
  if (!stickyFault_.empty()) return stickyFault_;
  if (!atscFault_.empty()) return atscFault_;
  if (!tuneEnded_) return "the tune has not ended (no soft reset since the settings)";
  const MainRegs m = regs();
  if (Finding f = activeMismatch(m, s.settings, Effect::Lock)) return f.text;
  std::string why;
  const BandSetting* band = bandOf(m, s.settings, &why);
  if (!band) return std::string(s.settings.name) + " band setting: " + why;
  const TunerModel::Tuning& t = now.tuning;
  if (!t.valid || !t.ended) return "the tuner was not tuned";
  if (!t.fault.empty()) return t.fault;
  if (!TunerModel::sameSystem(t.systemRow, band->tunerRow))
    return "tuner system row " + std::to_string(t.systemRow) + ", the " + s.settings.name +
           " setting needs " + std::to_string(band->tunerRow);
  if (!(now == tuneSig_)) return "settings changed after the tune ended";
  return {};
}

// Whether packets leave the chip and at which rate: stream output on, the pins in use driven, the TS clock
// restarted with its settings.
void DemodModel::output_locked(const Standard& s, Status* st) const {
  const MainRegs m = regs();
  const uint8_t c4 = m(0x00, 0xC4);
  const uint8_t used = (c4 & 0x80) ? ((c4 & 0x08) ? 0x80 : 0x01) : 0xFF;
  const bool driven = (~m(0x00, 0x81) & used) == used;
  Finding pins = activeMismatch(m, s.settings, Effect::Pins);
  if (!pins && !driven)
    pins.text = describe(DemodSlave::Main, 0, 0x81) + ": the TS pins in use are in high impedance";
  // Serial clock: mode 1, sub mode 1, period 8, select 1 (as latched by the last restart) give the channel's
  // rate; the mode flags act at once.
  const uint8_t* c = tsClock_;
  double rate = (m(0x00, 0x32) & 1) && c[2] ? 8.0 / c[2] : 0.0;
  rate *= (c[0] == 1 ? 1 : 0.5) * (c[1] == 1 ? 1 : 0.5) * (c[3] == 1 ? 1 : 0.5);
  Finding clock = activeMismatch(m, s.settings, Effect::Clock);
  const bool latched = clock.bank == 0 && (clock.reg == 0xC4 || clock.reg == 0xD1 || clock.reg == 0xD9 ||
                                           clock.reg == 0x33 || clock.reg == 0x32);
  if (clock && !latched) rate *= 0.5;
  if (!clock && rate != 1)
    clock.text = "TS clock running with other settings than programmed (main 0x00:0x32 restart)";
  st->output = !pins && m(0x00, 0xC3) == 0x00 && rate > 0;
  st->rate = rate;
  if (st->fault.empty()) st->fault = pins ? pins.text : clock.text;
}

DemodModel::Status DemodModel::status_locked() const {
  Status st;
  const Standard* s = standard_locked();
  if (!s) {
    st.fault = stickyFault_;
    return st;
  }
  Signature now = signature_locked(*s);
  std::string lockFault = lockFault_locked(*s, now);
  if (tuneEnded_ && now.tuning.valid && !now.tuning.analog && air_) {
    const SystemLimits& lim = systemLimits(s->system);
    st.mux = air_->find(s->system, uint64_t{now.tuning.frequencyKHz} * 1000, lim.toleranceHz, now.streamId);
  }
  st.signal = st.mux.has_value();
  if (st.mux && lockFault.empty() && s->fits)
    if (const BandSetting* band = bandOf(regs(), s->settings, nullptr))
      lockFault = s->fits(regs(), *st.mux, *band);
  st.fault = lockFault;
  output_locked(*s, &st);
  if (!tuneEnded_) return st;
  st.tuneEnded = true;
  const SystemLimits& lim = systemLimits(s->system);
  const int64_t elapsed = host::clock::nowNs() - tuneEndNs_;
  if (st.mux) {
    const Multiplex& mx = *st.mux;
    bool bwOk = s->exactBandwidth ? now.bandwidthHz == mx.bandwidthHz : now.bandwidthHz >= mx.bandwidthHz;
    st.canLock = lockFault.empty() && bwOk && now.tuning.filterHz >= mx.bandwidthHz &&
                 mx.cnrDb >= lim.minCnrDb && !refuseLock_;
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
  std::lock_guard g(m_);
  return status_locked();
}

std::string DemodModel::fault() const { return status().fault; }

uint64_t DemodModel::unknownWrites() const {
  std::lock_guard g(m_);
  uint64_t n = 0;
  for (uint64_t u : unknown_) n += u;
  return n;
}

uint64_t DemodModel::unknownWrites(DeliverySystem system) const {
  std::lock_guard g(m_);
  for (size_t i = 0; i < kNone; ++i)
    if (kStandards[i].system == system) return unknown_[i];
  return 0;
}

std::vector<std::string> DemodModel::unknownWriteLog() const {
  std::lock_guard g(m_);
  return unknownLog_;
}

void DemodModel::presentStatus_locked() {
  const Standard* s = standard_locked();
  if (!s) return;
  Status st = status_locked();
  std::vector<int32_t> ids;
  if (st.mux && air_)
    ids = air_->streamIds(s->system, st.mux->frequencyHz, systemLimits(s->system).toleranceHz);
  s->present(regs(), st, ids);
}

bool DemodModel::signalLock() const { return status().locked; }

std::optional<Multiplex> DemodModel::lockedMultiplex() const {
  Status st = status();
  if (!st.locked) return std::nullopt;
  return st.mux;
}

std::shared_ptr<TsSource> DemodModel::stream() {
  std::optional<Multiplex> mux;
  double rate = 1;
  {
    std::lock_guard g(m_);
    Status st = status_locked();
    if (st.locked && st.output) mux = st.mux, rate = st.rate;
    if (!mux) {
      srcMux_.clear();
      src_.reset();
      return nullptr;
    }
    if (src_ && srcMux_ == muxKey(*mux, rate)) return src_;
  }
  // Made outside the lock: a file source reads its file.
  std::shared_ptr<TsSource> src = air_->makeSource(*mux);
  if (src && rate != 1) src = std::make_shared<RatedSource>(std::move(src), rate);
  std::lock_guard g(m_);
  srcMux_ = src ? muxKey(*mux, rate) : std::string();
  src_ = src;
  return src_;
}

void DemodModel::setStreamListener(std::function<void()> listener) {
  bool stopping = !listener;
  if (stopping && watcher_.joinable()) {
    // No call of the old listener may still be running when this returns.
    watcher_.request_stop();
    watcher_.join();
  }
  {
    std::lock_guard g(listenerM_);
    listener_ = std::move(listener);
    notified_.reset();
  }
  if (!stopping && !watcher_.joinable()) watcher_ = std::jthread([this](std::stop_token st) { watch(st); });
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
      std::lock_guard g(listenerM_);
      if (cur != notified_) {
        notified_ = cur;
        fn = listener_;
      }
    }
    if (fn) fn();
    cv.wait_for(lk, st, std::chrono::milliseconds(2), [] { return false; });
  }
}

uint8_t DemodModel::reg(DemodSlave slave, uint8_t bank, uint8_t r) const {
  std::lock_guard g(m_);
  int s = static_cast<int>(slave);
  if (r == 0x00) return bank_[s];
  if (globalRegister(slave, r)) bank = 0;
  return at(s, bank, r);
}

void DemodModel::setRefuseLock(bool refuse) {
  std::lock_guard g(m_);
  refuseLock_ = refuse;
}

void DemodModel::setChipIdUnreadable(bool unreadable) {
  std::lock_guard g(m_);
  chipIdUnreadable_ = unreadable;
}

bool DemodModel::Port::start(uint8_t addr8, bool read) {
  active_ = false;
  if ((addr8 & 0xFE) != kTunerAddress || !d_.repeaterOpen()) return false;
  active_ = d_.tuner_.start(addr8, read);
  return active_;
}

bool DemodModel::Port::writeByte(uint8_t byte) { return active_ && d_.tuner_.writeByte(byte); }

uint8_t DemodModel::Port::readByte() { return active_ ? d_.tuner_.readByte() : 0xFF; }

void DemodModel::Port::stop() {
  if (active_) d_.tuner_.stop();
  active_ = false;
}

}  // namespace sim
