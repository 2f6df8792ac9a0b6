#include "tools/zadivo/frontend_client.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/host/clock.h"
#include "platform/host/host.h"
#include "tools/zadivo/interrupt.h"

namespace zadivo::tool {

using host::client::Filter;
using host::client::Pin;
using host::client::Result;

const GUID kExtendedSet = {0xFAA8F3E5, 0x31D4, 0x4E41, {0x88, 0xEF, 0xD9, 0xEB, 0x71, 0x6F, 0x6E, 0xC9}};

const GUID kTunerReference[8] = {
    {0x1F7C3BFB, 0xF6DD, 0x483E, {0xBA, 0x22, 0x5E, 0x42, 0xD7, 0xF2, 0x8F, 0xEA}},
    {0x8AAA8912, 0xFA33, 0x448C, {0xB7, 0x8D, 0x1A, 0x84, 0x37, 0x9C, 0x0C, 0xA3}},
    {0x6E8A6FEF, 0x20A9, 0x424A, {0x9B, 0x4B, 0x7F, 0xF5, 0xCB, 0x24, 0xF0, 0xAA}},
    {0x252B11D2, 0xC4F8, 0x473A, {0xA4, 0xC8, 0xDD, 0x17, 0xF2, 0x98, 0x5F, 0x3E}},
    {0xBE3E257F, 0x193F, 0x4597, {0x82, 0xDB, 0xC8, 0xC5, 0xF4, 0x16, 0xB3, 0xE9}},
    {0x6A27CCCA, 0xD36D, 0x4664, {0x81, 0xAB, 0x4F, 0xF3, 0x52, 0xB3, 0x32, 0x71}},
    {0x99DFCCD6, 0xC2CB, 0x4ABE, {0xB7, 0xB9, 0x37, 0x4E, 0xFC, 0x8B, 0x4C, 0xD1}},
    {0x85562E2A, 0xFF3B, 0x45C2, {0xB2, 0xF0, 0x8D, 0xF5, 0xCE, 0x27, 0xD5, 0x8B}},
};

namespace {

// Extended set member ids.
constexpr ULONG kIdPlp = 22;
constexpr ULONG kIdInputStream = 14;  // ISDB-C takes its TSMF stream id here, 16 bits little-endian
constexpr ULONG kIdMac = 15;
constexpr ULONG kIdRegs = 25;
constexpr ULONG kIdDemodMode = 60;
constexpr ULONG kIdFlashId = 100;
constexpr ULONG kIdFlashErase = 101;
constexpr ULONG kIdFlashPage = 102;
constexpr ULONG kIdFlashRead = 103;

constexpr ULONG kRfNode = 0;
constexpr ULONG kDemodNode = 1;
constexpr size_t kPlpReply = 260;
constexpr size_t kRegRecord = 259;

// Families whose tuner node takes a channel bandwidth, and those whose demodulator takes a symbol rate.
bool usesBandwidth(int type) { return type < 0 || type == 1 || type == 3 || type == 5 || type == 7; }
bool usesSymbolRate(int type) { return type < 0 || type == 4 || type == 6 || type == 8; }

bool fail(std::string* error, const std::string& what, NTSTATUS s) {
  if (error) *error = what + " (status " + statusText(s) + ")";
  return false;
}

bool silentSlave(std::string* error, uint8_t slave) {
  char buf[40];
  snprintf(buf, sizeof buf, "slave 0x%02x did not answer", slave);
  if (error) *error = buf;
  return false;
}

}  // namespace

std::string statusText(NTSTATUS s) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(s));
  return buf;
}

Result extendedRequest(Pin& antenna, ULONG id, bool set, const void* payload, size_t payloadSize, void* data,
                       size_t dataSize) {
  // Members declared with a 32-byte minimum take 8 bytes after the header even without a payload.
  std::vector<uint8_t> req(std::max<size_t>(sizeof(KSPROPERTY) + payloadSize, 32), 0);
  auto* header = reinterpret_cast<KSPROPERTY*>(req.data());
  header->Set = kExtendedSet;
  header->Id = id;
  header->Flags = set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
  if (payloadSize) memcpy(req.data() + sizeof(KSPROPERTY), payload, payloadSize);
  return antenna.property(req.data(), static_cast<ULONG>(req.size()), data, static_cast<ULONG>(dataSize));
}

std::vector<uint8_t> parsePlpReply(const uint8_t* reply, size_t size) {
  std::vector<uint8_t> ids;
  if (size < 4) return ids;
  uint32_t count = 0;
  memcpy(&count, reply, 4);
  const size_t n = std::min<size_t>({count, 255, size - 4});
  ids.assign(reply + 4, reply + 4 + n);
  return ids;
}

// ---- Channel
// -----------------------------------------------------------------------------------------------

Channel::~Channel() {
  stopCapture();
  graph_.close();
}

bool Channel::tune(const TuneParams& p, std::string* error) {
  Filter& tuner = *graph_.tuner;
  Pin& antenna = *graph_.antenna;
  Result r = tuner.callMethod(KSMETHODSETID_BdaChangeSync, 0, nullptr, 0);
  if (!r.ok()) return fail(error, "start changes refused", r.status);
  ULONG v = p.frequencyKHz;
  r = antenna.setNodeProperty(kRfNode, KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, &v,
                              4);
  if (!r.ok()) return fail(error, "frequency refused", r.status);
  if (p.bandwidthHz && usesBandwidth(tunerType_)) {
    v = p.bandwidthHz;
    r = antenna.setNodeProperty(kRfNode, KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_BANDWIDTH,
                                &v, 4);
    if (!r.ok() && !(tunerType_ < 0 && r.status == STATUS_NOT_FOUND))
      return fail(error, "bandwidth refused", r.status);
  }
  if (p.symbolRateKsps && usesSymbolRate(tunerType_)) {
    v = p.symbolRateKsps;
    r = graph_.transport->setNodeProperty(kDemodNode, KSPROPSETID_BdaDigitalDemodulator,
                                          KSPROPERTY_BDA_SYMBOL_RATE, &v, 4);
    if (!r.ok() && !(tunerType_ < 0 && r.status == STATUS_NOT_FOUND))
      return fail(error, "symbol rate refused", r.status);
  }
  if (p.streamId >= 0) {
    uint8_t data[kPlpReply] = {};
    data[0] = static_cast<uint8_t>(p.streamId);
    data[1] = static_cast<uint8_t>(p.streamId >> 8);
    const ULONG id = effectiveTunerType(tunerType_) == 8 ? kIdInputStream : kIdPlp;
    r = extendedRequest(antenna, id, true, nullptr, 0, data, sizeof data);
    if (!r.ok()) return fail(error, "stream selection refused", r.status);
  }
  r = tuner.callMethod(KSMETHODSETID_BdaChangeSync, 2, nullptr, 0);
  if (!r.ok()) return fail(error, "commit refused", r.status);
  return true;
}

SignalStats Channel::stats() {
  SignalStats s;
  auto get = [&](ULONG id) {
    ULONG v = 0;
    return graph_.antenna->getNodeProperty(kRfNode, KSPROPSETID_BdaSignalStats, id, &v, 4).ok() ? v : 0;
  };
  s.locked = get(KSPROPERTY_BDA_SIGNAL_LOCKED) != 0;
  s.present = get(KSPROPERTY_BDA_SIGNAL_PRESENT) != 0;
  s.strength = get(KSPROPERTY_BDA_SIGNAL_STRENGTH);
  s.quality = get(KSPROPERTY_BDA_SIGNAL_QUALITY);
  return s;
}

bool Channel::waitLock(int64_t platformNs, const std::function<bool()>& keepWaiting) {
  const int64_t deadline = host::clock::nowNs() + platformNs;
  while (!keepWaiting || keepWaiting()) {
    ULONG v = 0;
    if (graph_.antenna
            ->getNodeProperty(kRfNode, KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED, &v, 4)
            .ok() &&
        v)
      return true;
    if (host::clock::nowNs() >= deadline) return false;
    host::clock::sleepNs(20 * host::clock::kMs);
  }
  return false;
}

std::vector<uint8_t> Channel::dataPlps() {
  uint8_t reply[kPlpReply] = {};
  Result r = extendedRequest(*graph_.antenna, kIdPlp, false, nullptr, 0, reply, sizeof reply);
  if (!r.ok()) return {};
  return parsePlpReply(reply, std::min<size_t>(r.bytes ? r.bytes : sizeof reply, sizeof reply));
}

bool Channel::startCapture(std::string* error) {
  if (!graph_.output) {
    if (error) *error = "channel was not opened for capture";
    return false;
  }
  NTSTATUS s = graph_.input->setState(KSSTATE_RUN);
  if (NT_SUCCESS(s)) s = graph_.output->setState(KSSTATE_RUN);
  if (!NT_SUCCESS(s)) return fail(error, "capture pin refused to run", s);
  return true;
}

NTSTATUS Channel::readFrame(std::vector<uint8_t>& frame, std::chrono::milliseconds timeout) {
  return graph_.output->readFrame(frame, timeout);
}

void Channel::dropFrames() {
  std::vector<uint8_t> frame;
  while (graph_.output && graph_.output->readFrame(frame, std::chrono::milliseconds(0)) == STATUS_SUCCESS) {
  }
}

void Channel::stopCapture() {
  if (graph_.output) graph_.output->setState(KSSTATE_STOP);
  if (graph_.input) graph_.input->setState(KSSTATE_STOP);
}

// ---- FrontEnd
// ----------------------------------------------------------------------------------------------

std::unique_ptr<FrontEnd> FrontEnd::start(const MachineOptions& o, std::string* error) {
  std::unique_ptr<FrontEnd> fe(new FrontEnd());
  if (o.timeScale > 0) host::clock::setScale(o.timeScale);
  // A log FIFO without a reader is waited on until the user interrupts (the process is single-threaded yet).
  auto cannotOpen = [&](const std::string& path) {
    if (error)
      *error = errno == EINTR ? "interrupted while waiting for a reader of " + path
                              : "cannot open " + path + ": " + strerror(errno);
    return nullptr;
  };
  if (o.traceLog.empty()) {
    host::trace::discard();
  } else if (o.traceLog == "-") {
    host::trace::toStderr();
  } else if (!host::trace::toFile(o.traceLog)) {
    return cannotOpen(o.traceLog);
  } else {
    fe->traceLog_ = o.traceLog;
  }
  for (auto [path, log] : {std::pair{&o.mmioLog, &fe->mmio_}, std::pair{&o.i2cLog, &fe->i2c_}}) {
    if (path->empty()) continue;
    log->path = *path;
    log->file = *path == "-" ? stderr : fopen(path->c_str(), "w");
    if (!log->file) return cannotOpen(*path);
  }
  // From here the machine's threads run: a signal may land on any of them.
  setBlockingCallsInterruptible(false);

  zadivo::MachineConfig cfg;
  cfg.cards = o.cards;
  cfg.stateDir = o.stateDir;
  fe->stateDir_ = o.stateDir;
  cfg.air = o.air;
  cfg.echoCardErrors = false;
  cfg.traceLevel = o.traceLevel;
  cfg.driverImage = o.driverImage;
  cfg.imageInfo = o.imageInfo;
  fe->machine_ = std::make_unique<zadivo::Machine>(cfg);
  if (!fe->machine_->driverError().empty()) {
    if (error) *error = fe->machine_->driverError();
    return nullptr;
  }
  if (!NT_SUCCESS(fe->machine_->driverStatus()))
    return fail(error, "driver failed to load", fe->machine_->driverStatus()), nullptr;
  for (int i = 0; i < o.cards; ++i) {
    if (fe->mmio_.file) fe->machine_->card(i).setMmioTrace(fe->mmio_.file);
    if (fe->i2c_.file) fe->machine_->card(i).setI2cTrace(fe->i2c_.file);
  }
  std::set<PKSDEVICE> known;
  for (int i = 0; i < o.cards; ++i) {
    NTSTATUS s = fe->machine_->start(i);
    if (!NT_SUCCESS(s)) return fail(error, "card " + std::to_string(i) + " failed to start", s), nullptr;
    // The tuner filters that appeared with this card tell which KS device it is.
    PKSDEVICE device = nullptr;
    for (auto& reg : host::client::enumerate(KSCATEGORY_BDA_NETWORK_TUNER))
      if (!known.count(reg.device)) device = reg.device;
    if (!device) {
      if (error) *error = "card " + std::to_string(i) + " registered no tuner filters";
      return nullptr;
    }
    known.insert(device);
    fe->devices_.push_back(device);
  }
  fe->controls_.resize(fe->devices_.size());
  for (int i = 0; i < fe->cards(); ++i) {
    // Unknown (-1) when the card does not answer; tuning then sends every parameter given.
    int type = -1;
    if (!fe->tunerTypeGet(i, type, nullptr)) type = -1;
    fe->storedType_.push_back(type);
    // The control pin is reopened on demand; a channel A graph needs the antenna pin to itself.
    fe->controls_[i] = {};
  }
  return fe;
}

FrontEnd::~FrontEnd() { stop(); }

std::vector<std::string> FrontEnd::stop() {
  controls_.clear();
  machine_.reset();  // removes the cards
  std::vector<std::string> errors = flushLogs();
  for (Log* log : {&mmio_, &i2c_}) {
    if (log->file && log->file != stderr && fclose(log->file) != 0 && errors.empty())
      errors.push_back("cannot write " + log->path + ": " + strerror(errno));
    log->file = nullptr;
  }
  if (!traceLog_.empty()) host::trace::discard();  // closes the file
  traceLog_.clear();
  return errors;
}

std::vector<std::string> FrontEnd::flushLogs() {
  std::vector<std::string> errors;
  for (Log* log : {&mmio_, &i2c_}) {
    if (!log->file || log->file == stderr) continue;
    // ferror keeps a failed write of the card's, whose errno is long gone; the flush usually fails alike.
    const int err = fflush(log->file) != 0 ? errno : EIO;
    if (ferror(log->file) || err != EIO) errors.push_back("cannot write " + log->path + ": " + strerror(err));
  }
  if (const int err = host::trace::writeError(); err && !traceLog_.empty())
    errors.push_back("cannot write " + traceLog_ + ": " + strerror(err));
  return errors;
}

std::vector<std::string> FrontEnd::cardErrors() {
  std::vector<std::string> all;
  for (int i = 0; i < machine_->cardCount(); ++i)
    for (auto& e : machine_->card(i).errors()) all.push_back("card " + std::to_string(i) + ": " + e);
  return all;
}

std::vector<std::string> FrontEnd::storageErrors() {
  std::vector<std::string> found;
  if (stateDir_.empty()) return found;
  for (auto& e : cardErrors())
    if (e.find(stateDir_ + "/") != std::string::npos) found.push_back(e);
  return found;
}

uint64_t FrontEnd::streamBitrate(const ChannelRef& ref) {
  if (ref.card < 0 || ref.card >= cards()) return 0;
  auto mux = machine_->frontEnds(ref.card).demod(ref.index + 1).lockedMultiplex();
  return mux ? mux->bitrate : 0;
}

std::unique_ptr<Channel> FrontEnd::openChannel(const ChannelRef& ref, bool capture, std::string* error) {
  if (ref.card < 0 || ref.card >= cards()) {
    if (error) *error = "no card " + std::to_string(ref.card) + " (cards: " + std::to_string(cards()) + ")";
    return nullptr;
  }
  // Channel A's antenna pin is single-instance: give it back if device requests held it.
  if (ref.index == 0) controls_.at(ref.card) = {};
  const host::client::FilterInfo* info = nullptr;
  auto regs = host::client::enumerate(KSCATEGORY_BDA_NETWORK_TUNER);
  for (auto& reg : regs)
    if (reg.device == devices_[ref.card] && IsEqualGUID(reg.reference, kTunerReference[ref.index]))
      info = &reg;
  if (!info) {
    if (error) *error = "channel " + channelName(ref) + " has no tuner filter";
    return nullptr;
  }
  std::unique_ptr<Channel> ch(new Channel());
  ch->ref_ = ref;
  ch->tunerType_ = runningTunerType(ref.card);
  NTSTATUS s;
  if (capture) {
    s = host::client::buildGraph(*info, ch->graph_);
    if (!NT_SUCCESS(s))
      return fail(error, "cannot build the capture graph of " + channelName(ref), s), nullptr;
  } else {
    s = Filter::open(*info, ch->graph_.tuner);
    if (NT_SUCCESS(s)) s = ch->graph_.tuner->createPin(0, nullptr, 0, ch->graph_.antenna);
    if (NT_SUCCESS(s)) s = ch->graph_.tuner->createPin(1, nullptr, 0, ch->graph_.transport);
    if (!NT_SUCCESS(s)) return fail(error, "cannot open the tuner filter of " + channelName(ref), s), nullptr;
  }
  // Out of STOP the filter acquires the tuner and a commit tunes it; the filter sees the state one
  // transition late, so go all the way to RUN.
  s = ch->graph_.antenna->setState(KSSTATE_RUN);
  if (NT_SUCCESS(s)) s = ch->graph_.transport->setState(KSSTATE_RUN);
  if (!NT_SUCCESS(s)) return fail(error, "channel " + channelName(ref) + " is busy", s), nullptr;
  return ch;
}

bool FrontEnd::control(int card, std::string* error) {
  if (card < 0 || card >= cards()) {
    if (error) *error = "no card " + std::to_string(card);
    return false;
  }
  Control& c = controls_.at(card);
  if (c.antenna) return true;
  const host::client::FilterInfo* info = nullptr;
  auto regs = host::client::enumerate(KSCATEGORY_BDA_NETWORK_TUNER);
  for (auto& reg : regs)
    if (reg.device == devices_[card] && IsEqualGUID(reg.reference, kTunerReference[0])) info = &reg;
  if (!info) {
    if (error) *error = "card " + std::to_string(card) + " has no channel A tuner filter";
    return false;
  }
  NTSTATUS s = Filter::open(*info, c.filter);
  if (NT_SUCCESS(s)) s = c.filter->createPin(0, nullptr, 0, c.antenna);
  if (!NT_SUCCESS(s)) {
    c = {};
    return fail(error, "cannot open channel A of card " + std::to_string(card), s);
  }
  return true;
}

Result FrontEnd::extended(int card, ULONG id, bool set, const void* payload, size_t payloadSize, void* data,
                          size_t dataSize) {
  return extendedRequest(*controls_.at(card).antenna, id, set, payload, payloadSize, data, dataSize);
}

bool FrontEnd::macGet(int card, int index, Mac& mac, std::string* error) {
  if (!control(card, error)) return false;
  uint8_t record[16] = {};
  ULONG idx = static_cast<ULONG>(index);
  memcpy(record, &idx, 4);
  uint8_t reply[16] = {};
  Result r = extended(card, kIdMac, false, record, sizeof record, reply, sizeof reply);
  if (!r.ok()) return fail(error, "MAC read refused", r.status);
  memcpy(mac.data(), reply + 10, 6);
  return true;
}

bool FrontEnd::macSet(int card, int index, const Mac& mac, std::string* error) {
  if (!control(card, error)) return false;
  uint8_t record[16] = {};
  ULONG idx = static_cast<ULONG>(index);
  memcpy(record, &idx, 4);
  memcpy(record + 4, mac.data(), 6);
  Result r = extended(card, kIdMac, true, nullptr, 0, record, sizeof record);
  if (!r.ok()) return fail(error, "MAC write failed", r.status);
  return true;
}

bool FrontEnd::tunerTypeGet(int card, int& type, std::string* error) {
  if (!control(card, error)) return false;
  uint8_t data[8] = {};
  Result r = extended(card, kIdDemodMode, false, nullptr, 0, data, sizeof data);
  if (!r.ok()) return fail(error, "tuner type read refused", r.status);
  type = data[0];
  return true;
}

bool FrontEnd::tunerTypeSet(int card, uint8_t type, std::string* error) {
  if (!control(card, error)) return false;
  uint8_t data[8] = {type};
  Result r = extended(card, kIdDemodMode, true, nullptr, 0, data, sizeof data);
  if (!r.ok()) return fail(error, "tuner type write failed", r.status);
  return true;
}

bool FrontEnd::flashId(int card, std::array<uint8_t, 3>& id, std::string* error) {
  if (!control(card, error)) return false;
  uint8_t data[40] = {};
  Result r = extended(card, kIdFlashId, false, nullptr, 0, data, sizeof data);
  if (!r.ok()) return fail(error, "flash identification refused", r.status);
  if (data[36] != 1) {
    if (error) *error = "flash identification failed";
    return false;
  }
  memcpy(id.data(), data, 3);
  return true;
}

bool FrontEnd::flashEraseStart(int card, std::string* error) {
  if (!control(card, error)) return false;
  uint32_t words[3] = {};
  Result r = extended(card, kIdFlashErase, true, nullptr, 0, words, sizeof words);
  if (!r.ok()) return fail(error, "flash erase refused", r.status);
  if (words[2] != 1) {
    if (error) *error = "flash erase did not start";
    return false;
  }
  return true;
}

bool FrontEnd::flashIdle(int card, bool& idle, std::string* error) {
  if (!control(card, error)) return false;
  uint32_t words[3] = {};
  Result r = extended(card, kIdFlashErase, false, nullptr, 0, words, sizeof words);
  if (!r.ok()) return fail(error, "flash status refused", r.status);
  idle = words[2] == 1;
  return true;
}

bool FrontEnd::flashWritePage(int card, uint32_t address, const uint8_t* page, std::string* error) {
  if (!control(card, error)) return false;
  uint8_t data[261] = {};
  data[1] = static_cast<uint8_t>(address >> 16);
  data[2] = static_cast<uint8_t>(address >> 8);
  data[3] = static_cast<uint8_t>(address);
  memcpy(data + 5, page, 256);
  Result r = extended(card, kIdFlashPage, true, nullptr, 0, data, sizeof data);
  if (!r.ok() || data[0] != 1) return fail(error, "flash page program failed", r.status);
  return true;
}

bool FrontEnd::flashReadWord(int card, uint32_t address, uint8_t out[4], std::string* error) {
  if (!control(card, error)) return false;
  const uint8_t addr[8] = {static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                           static_cast<uint8_t>(address)};
  uint32_t words[3] = {};
  Result r = extended(card, kIdFlashRead, false, addr, sizeof addr, words, sizeof words);
  if (!r.ok()) return fail(error, "flash read refused", r.status);
  if (words[2] != 1) {
    if (error) *error = "flash read failed";
    return false;
  }
  memcpy(out, &words[1], 4);  // first flash byte in bits 7..0
  return true;
}

bool FrontEnd::regsRead(int card, uint8_t slave, const std::vector<uint8_t>& sub, size_t len,
                        std::vector<uint8_t>& out, std::string* error) {
  if (!control(card, error)) return false;
  if (sub.size() > 2 || len < 1 || len > 4) {
    if (error) *error = "register read takes 0..2 sub-address bytes and 1..4 data bytes";
    return false;
  }
  uint8_t record[kRegRecord] = {};
  record[0] = slave;
  std::copy(sub.begin(), sub.end(), record + 1);
  record[129] = static_cast<uint8_t>(sub.size());
  record[258] = static_cast<uint8_t>(len);
  uint8_t reply[kRegRecord] = {};
  Result r = extended(card, kIdRegs, false, record, sizeof record, reply, sizeof reply);
  if (r.status == STATUS_IO_DEVICE_ERROR) return silentSlave(error, slave);
  if (!r.ok()) return fail(error, "register read refused", r.status);
  out.assign(reply + 130, reply + 130 + len);
  return true;
}

bool FrontEnd::regsWrite(int card, uint8_t slave, const std::vector<uint8_t>& bytes, std::string* error) {
  if (!control(card, error)) return false;
  if (bytes.empty() || bytes.size() > 128) {
    if (error) *error = "register write takes 1..128 data bytes";
    return false;
  }
  uint8_t record[130] = {};
  record[0] = slave;
  std::copy(bytes.begin(), bytes.end(), record + 1);
  record[129] = static_cast<uint8_t>(bytes.size());
  Result r = extended(card, kIdRegs, true, nullptr, 0, record, sizeof record);
  if (r.status == STATUS_IO_DEVICE_ERROR) return silentSlave(error, slave);
  if (!r.ok()) return fail(error, "register write failed", r.status);
  return true;
}

}  // namespace zadivo::tool
