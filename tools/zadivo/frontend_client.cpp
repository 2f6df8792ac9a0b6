#include "tools/zadivo/frontend_client.h"

#include <algorithm>
#include <cstring>

#include "tools/zadivo/interrupt.h"

namespace zadivo::tool {

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

// Enough requests queued for the card's highest rate (83 Mbit/s) while the reader is away for a quarter of a
// second of stream.
constexpr uint64_t kMaxBitrate = 83'000'000;
constexpr size_t kMinReads = 8;

bool fail(std::string* error, const std::string& what, DWORD e) {
  if (error) *error = what + " (" + errorText(e) + ")";
  return false;
}

bool silentSlave(std::string* error, uint8_t slave) {
  char buf[40];
  snprintf(buf, sizeof buf, "slave 0x%02x did not answer", slave);
  if (error) *error = buf;
  return false;
}

// A request completed as KsSynchronousDeviceControl completes it: 0 or the Win32 error, bytes in *bytes.
DWORD request(HANDLE h, DWORD ioctl, const void* in, size_t inSize, void* out, size_t outSize,
              DWORD* bytes = nullptr) {
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!ov.hEvent) return GetLastError();
  DWORD got = 0;
  BOOL ok = DeviceIoControl(h, ioctl, const_cast<void*>(in), static_cast<DWORD>(inSize), out,
                            static_cast<DWORD>(outSize), &got, &ov);
  DWORD e = ok ? DWORD(ERROR_SUCCESS) : GetLastError();
  if (e == ERROR_IO_PENDING)
    e = GetOverlappedResult(h, &ov, &got, TRUE) ? DWORD(ERROR_SUCCESS) : GetLastError();
  CloseHandle(ov.hEvent);
  if (bytes) *bytes = got;
  return e;
}

DWORD nodeProperty(HANDLE pin, ULONG node, const GUID& set, ULONG id, bool put, ULONG* value) {
  KSP_NODE p{};
  p.Property.Set = set;
  p.Property.Id = id;
  p.Property.Flags = (put ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET) | KSPROPERTY_TYPE_TOPOLOGY;
  p.NodeId = node;
  return request(pin, IOCTL_KS_PROPERTY, &p, sizeof p, value, sizeof *value);
}

DWORD method(HANDLE filter, const GUID& set, ULONG id) {
  KSMETHOD m{};
  m.Set = set;
  m.Id = id;
  m.Flags = KSMETHOD_TYPE_SEND;
  return request(filter, IOCTL_KS_METHOD, &m, sizeof m, nullptr, 0);
}

DWORD setState(HANDLE pin, KSSTATE state) {
  KSPROPERTY p{};
  p.Set = KSPROPSETID_Connection;
  p.Id = KSPROPERTY_CONNECTION_STATE;
  p.Flags = KSPROPERTY_TYPE_SET;
  return request(pin, IOCTL_KS_PROPERTY, &p, sizeof p, &state, sizeof state);
}

// A KSPROPSETID_Pin value of a pin factory, whole after asking for its size; empty on failure.
std::vector<uint8_t> pinValue(HANDLE filter, ULONG id, ULONG pinId, const void* extra = nullptr,
                              size_t extraSize = 0) {
  std::vector<uint8_t> req(sizeof(KSP_PIN) + extraSize);
  auto* p = reinterpret_cast<KSP_PIN*>(req.data());
  p->Property.Set = KSPROPSETID_Pin;
  p->Property.Id = id;
  p->Property.Flags = KSPROPERTY_TYPE_GET;
  p->PinId = pinId;
  if (extraSize) memcpy(req.data() + sizeof(KSP_PIN), extra, extraSize);
  DWORD size = 0;
  const DWORD e = request(filter, IOCTL_KS_PROPERTY, req.data(), req.size(), nullptr, 0, &size);
  if ((e != ERROR_MORE_DATA && e != ERROR_SUCCESS) || !size) return {};
  std::vector<uint8_t> v(size);
  if (request(filter, IOCTL_KS_PROPERTY, req.data(), req.size(), v.data(), v.size(), &size) != ERROR_SUCCESS)
    return {};
  v.resize(size);
  return v;
}

ULONG pinUlong(HANDLE filter, ULONG id, ULONG pinId) {
  auto v = pinValue(filter, id, pinId);
  ULONG u = 0;
  if (v.size() >= sizeof u) memcpy(&u, v.data(), sizeof u);
  return u;
}

// The factory's first medium; the standard one when it names none.
KSPIN_MEDIUM mediumOf(HANDLE filter, ULONG pinId) {
  auto v = pinValue(filter, KSPROPERTY_PIN_MEDIUMS, pinId);
  KSPIN_MEDIUM m{};
  m.Set = KSMEDIUMSETID_Standard;
  if (v.size() >= sizeof(KSMULTIPLE_ITEM) + sizeof m)
    memcpy(&m, v.data() + sizeof(KSMULTIPLE_ITEM), sizeof m);
  return m;
}

bool sameMedium(const KSPIN_MEDIUM& a, const KSPIN_MEDIUM& b) {
  return IsEqualGUID(a.Set, b.Set) && a.Id == b.Id;
}

// The factory's data ranges sent back as DATAINTERSECTION: the format its pins take.
std::vector<uint8_t> formatOf(HANDLE filter, ULONG pinId) {
  auto ranges = pinValue(filter, KSPROPERTY_PIN_DATARANGES, pinId);
  if (ranges.empty()) return {};
  return pinValue(filter, KSPROPERTY_PIN_DATAINTERSECTION, pinId, ranges.data(), ranges.size());
}

// KsCreatePin with the standard interface, the factory's medium and the intersected format.
DWORD createPin(HANDLE filter, ULONG pinId, const KSPIN_MEDIUM& medium, HANDLE peer, HANDLE* pin) {
  const std::vector<uint8_t> format = formatOf(filter, pinId);
  if (format.empty()) return ERROR_NO_MATCH;
  std::vector<uint8_t> buf(sizeof(KSPIN_CONNECT) + format.size());
  auto* c = reinterpret_cast<KSPIN_CONNECT*>(buf.data());
  c->Interface.Set = KSINTERFACESETID_Standard;
  c->Interface.Id = KSINTERFACE_STANDARD_STREAMING;
  c->Medium = medium;
  c->PinId = pinId;
  c->PinToHandle = peer;
  c->Priority.PriorityClass = KSPRIORITY_NORMAL;
  memcpy(buf.data() + sizeof(KSPIN_CONNECT), format.data(), format.size());
  *pin = nullptr;
  return KsCreatePin(filter, c, GENERIC_READ | GENERIC_WRITE, pin);
}

// Device paths of a category's enabled interfaces.
std::vector<std::wstring> interfacePaths(const GUID& category) {
  std::vector<std::wstring> out;
  HDEVINFO set = SetupDiGetClassDevsW(&category, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return out;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &category, i, &data); ++i) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
    if (!size) continue;
    std::vector<ULONG_PTR> storage(size / sizeof(ULONG_PTR) + 1);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage.data());
    detail->cbSize = sizeof *detail;
    if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr))
      out.push_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return out;
}

HANDLE openPath(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

void closeHandle(HANDLE& h) {
  if (h) CloseHandle(h);
  h = nullptr;
}

std::wstring guidText(const GUID& g) {
  wchar_t t[40];
  swprintf(t, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1), g.Data2, g.Data3,
           g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return t;
}

bool endsWith(const std::wstring& s, const std::wstring& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The device instance an interface path belongs to: all before its category.
std::wstring deviceOf(const std::wstring& path) { return path.substr(0, path.rfind(L'#')); }

}  // namespace

std::string errorText(DWORD e) { return "error " + std::to_string(e); }

std::string statusText(NTSTATUS s) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(s));
  return buf;
}

DWORD extendedRequest(HANDLE antenna, ULONG id, bool set, const void* payload, size_t payloadSize, void* data,
                      size_t dataSize, DWORD* bytes) {
  // Members declared with a 32-byte minimum take 8 bytes after the header even without a payload.
  std::vector<uint8_t> req(std::max<size_t>(sizeof(KSPROPERTY) + payloadSize, 32), 0);
  auto* header = reinterpret_cast<KSPROPERTY*>(req.data());
  header->Set = kExtendedSet;
  header->Id = id;
  header->Flags = set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
  if (payloadSize) memcpy(req.data() + sizeof(KSPROPERTY), payload, payloadSize);
  return request(antenna, IOCTL_KS_PROPERTY, req.data(), req.size(), data, dataSize, bytes);
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
  for (auto& r : reads_) {
    // Closing the pin completes what is still queued; its OVERLAPPED must outlive that.
    if (r->queued) {
      CancelIoEx(output_, &r->ov);
      DWORD got = 0;
      GetOverlappedResult(output_, &r->ov, &got, TRUE);
    }
  }
  for (HANDLE* h : {&output_, &input_, &transport_, &antenna_, &capture_, &tuner_}) closeHandle(*h);
  for (auto& r : reads_) closeHandle(r->ov.hEvent);
}

bool Channel::tune(const TuneParams& p, std::string* error) {
  DWORD e = method(tuner_, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_START_CHANGES);
  if (e) return fail(error, "start changes refused", e);
  ULONG v = p.frequencyKHz;
  e = nodeProperty(antenna_, kRfNode, KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, true,
                   &v);
  if (e) return fail(error, "frequency refused", e);
  if (p.bandwidthHz && usesBandwidth(tunerType_)) {
    v = p.bandwidthHz;
    e = nodeProperty(antenna_, kRfNode, KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_BANDWIDTH,
                     true, &v);
    if (e && !(tunerType_ < 0 && e == ERROR_NOT_FOUND)) return fail(error, "bandwidth refused", e);
  }
  if (p.symbolRateKsps && usesSymbolRate(tunerType_)) {
    v = p.symbolRateKsps;
    e = nodeProperty(transport_, kDemodNode, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_SYMBOL_RATE,
                     true, &v);
    if (e && !(tunerType_ < 0 && e == ERROR_NOT_FOUND)) return fail(error, "symbol rate refused", e);
  }
  if (p.streamId >= 0) {
    uint8_t data[kPlpReply] = {};
    data[0] = static_cast<uint8_t>(p.streamId);
    data[1] = static_cast<uint8_t>(p.streamId >> 8);
    const ULONG id = effectiveTunerType(tunerType_) == 8 ? kIdInputStream : kIdPlp;
    e = extendedRequest(antenna_, id, true, nullptr, 0, data, sizeof data);
    if (e) return fail(error, "stream selection refused", e);
  }
  e = method(tuner_, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_COMMIT_CHANGES);
  if (e) return fail(error, "commit refused", e);
  return true;
}

SignalStats Channel::stats() {
  SignalStats s;
  auto get = [&](ULONG id) {
    ULONG v = 0;
    return nodeProperty(antenna_, kRfNode, KSPROPSETID_BdaSignalStats, id, false, &v) == ERROR_SUCCESS ? v
                                                                                                       : 0;
  };
  s.locked = get(KSPROPERTY_BDA_SIGNAL_LOCKED) != 0;
  s.present = get(KSPROPERTY_BDA_SIGNAL_PRESENT) != 0;
  s.strength = get(KSPROPERTY_BDA_SIGNAL_STRENGTH);
  s.quality = get(KSPROPERTY_BDA_SIGNAL_QUALITY);
  return s;
}

bool Channel::waitLock(int64_t platformNs, const std::function<bool()>& keepWaiting) {
  const int64_t deadline = platform_time::nowNs() + platformNs;
  while (!keepWaiting || keepWaiting()) {
    ULONG v = 0;
    if (nodeProperty(antenna_, kRfNode, KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED, false,
                     &v) == ERROR_SUCCESS &&
        v)
      return true;
    if (platform_time::nowNs() >= deadline) return false;
    platform_time::sleepNs(20 * platform_time::kMs);
  }
  return false;
}

std::vector<uint8_t> Channel::dataPlps() {
  uint8_t reply[kPlpReply] = {};
  DWORD bytes = 0;
  if (extendedRequest(antenna_, kIdPlp, false, nullptr, 0, reply, sizeof reply, &bytes)) return {};
  return parsePlpReply(reply, std::min<size_t>(bytes ? bytes : sizeof reply, sizeof reply));
}

bool Channel::queue(Read& r) {
  r.header = KSSTREAM_HEADER{};
  r.header.Size = sizeof r.header;
  r.header.FrameExtent = frameBytes_;
  r.header.Data = r.buffer.data();
  ResetEvent(r.ov.hEvent);
  DWORD got = 0;
  const BOOL ok =
      DeviceIoControl(output_, IOCTL_KS_READ_STREAM, nullptr, 0, &r.header, sizeof r.header, &got, &r.ov);
  r.queued = ok || GetLastError() == ERROR_IO_PENDING;
  return r.queued;
}

bool Channel::startCapture(std::string* error) {
  if (!output_) {
    if (error) *error = "channel was not opened for capture";
    return false;
  }
  DWORD e = setState(input_, KSSTATE_RUN);
  if (!e) e = setState(output_, KSSTATE_PAUSE);
  if (e) return fail(error, "capture pin refused to run", e);
  // The requests are queued before the pin runs: its first frames have somewhere to go.
  for (size_t i = 0; i < reads_.size(); ++i) {
    Read& r = *reads_[(next_ + i) % reads_.size()];
    if (!r.queued && !queue(r)) return fail(error, "capture pin refused a read", GetLastError());
  }
  e = setState(output_, KSSTATE_RUN);
  if (e) return fail(error, "capture pin refused to run", e);
  running_ = true;
  return true;
}

NTSTATUS Channel::readFrame(std::vector<uint8_t>& frame, std::chrono::milliseconds timeout) {
  if (!output_) return STATUS_DEVICE_NOT_CONNECTED;
  // Requests complete in the order queued; a cancelled one (a stop) is passed over for those behind it.
  for (size_t tried = 0; tried < reads_.size(); ++tried) {
    Read& r = *reads_[next_];
    if (!r.queued) return STATUS_TIMEOUT;
    if (WaitForSingleObject(r.ov.hEvent, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
      return STATUS_TIMEOUT;
    DWORD got = 0;
    const BOOL ok = GetOverlappedResult(output_, &r.ov, &got, TRUE);
    const DWORD e = ok ? DWORD(ERROR_SUCCESS) : GetLastError();
    r.queued = false;
    next_ = (next_ + 1) % reads_.size();
    if (e == ERROR_OPERATION_ABORTED) {
      if (running_ && !queue(r)) return STATUS_UNSUCCESSFUL;
      continue;
    }
    if (e) return STATUS_UNSUCCESSFUL;
    frame.assign(r.buffer.begin(), r.buffer.begin() + std::min<ULONG>(r.header.DataUsed, frameBytes_));
    if (running_ && !queue(r)) return STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
  }
  return STATUS_TIMEOUT;
}

void Channel::dropFrames() {
  std::vector<uint8_t> frame;
  const bool running = std::exchange(running_, false);
  while (output_ && readFrame(frame, std::chrono::milliseconds(0)) == STATUS_SUCCESS) {
  }
  running_ = running;
}

void Channel::stopCapture() {
  // STOP completes the requests still queued as cancelled; those done stay for the reader.
  if (output_) setState(output_, KSSTATE_STOP);
  if (input_) setState(input_, KSSTATE_STOP);
  running_ = false;
}

// ---- FrontEnd
// ----------------------------------------------------------------------------------------------

std::unique_ptr<FrontEnd> FrontEnd::start(const MachineOptions& o, std::string* error) {
  std::unique_ptr<FrontEnd> fe(new FrontEnd());
  // The tuner filters that appeared with a card tell which device it is.
  auto started = [&](int card, std::string* error) {
    std::wstring device;
    for (auto& path : interfacePaths(KSCATEGORY_BDA_NETWORK_TUNER))
      if (std::find(fe->devices_.begin(), fe->devices_.end(), deviceOf(path)) == fe->devices_.end())
        device = deviceOf(path);
    if (device.empty()) {
      if (error) *error = "card " + std::to_string(card) + " registered no tuner filters";
      return false;
    }
    fe->devices_.push_back(device);
    return true;
  };
  fe->emulation_ = Emulation::start(o, started, error);
  if (!fe->emulation_) return nullptr;
  fe->controls_.resize(fe->devices_.size());
  for (int i = 0; i < fe->cards(); ++i) {
    // Unknown (-1) when the card does not answer; tuning then sends every parameter given.
    int type = -1;
    if (!fe->tunerTypeGet(i, type, nullptr)) type = -1;
    fe->storedType_.push_back(type);
    // The control pin is reopened on demand; a channel A graph needs the antenna pin to itself.
    fe->closeControl(i);
  }
  return fe;
}

FrontEnd::~FrontEnd() { stop(); }

std::vector<std::string> FrontEnd::stop() {
  for (int i = 0; i < static_cast<int>(controls_.size()); ++i) closeControl(i);
  controls_.clear();
  return emulation_ ? emulation_->stop() : std::vector<std::string>{};
}

std::vector<std::string> FrontEnd::flushLogs() {
  return emulation_ ? emulation_->flushLogs() : std::vector<std::string>{};
}

void FrontEnd::closeControl(int card) {
  Control& c = controls_.at(card);
  closeHandle(c.antenna);
  closeHandle(c.filter);
}

std::wstring FrontEnd::tunerPath(int card, const GUID& reference) {
  const std::wstring tail = guidText(reference);
  for (auto& path : interfacePaths(KSCATEGORY_BDA_NETWORK_TUNER))
    if (deviceOf(path) == devices_[card] && endsWith(path, tail)) return path;
  return {};
}

std::unique_ptr<Channel> FrontEnd::openChannel(const ChannelRef& ref, bool capture, std::string* error) {
  if (ref.card < 0 || ref.card >= cards()) {
    if (error) *error = "no card " + std::to_string(ref.card) + " (cards: " + std::to_string(cards()) + ")";
    return nullptr;
  }
  // Channel A's antenna pin is single-instance: give it back if device requests held it.
  if (ref.index == 0) closeControl(ref.card);
  const std::wstring path = tunerPath(ref.card, kTunerReference[ref.index]);
  if (path.empty()) {
    if (error) *error = "channel " + channelName(ref) + " has no tuner filter";
    return nullptr;
  }
  std::unique_ptr<Channel> ch(new Channel());
  ch->ref_ = ref;
  ch->tunerType_ = runningTunerType(ref.card);
  const std::string what =
      capture ? "cannot build the capture graph of " : "cannot open the tuner filter of ";
  ch->tuner_ = openPath(path);
  if (!ch->tuner_) return fail(error, what + channelName(ref), GetLastError()), nullptr;
  ULONG antennaId = 0, transportId = 1;
  const ULONG factories = pinUlong(ch->tuner_, KSPROPERTY_PIN_CTYPES, 0);
  for (ULONG i = 0; i < factories; ++i)
    (pinUlong(ch->tuner_, KSPROPERTY_PIN_DATAFLOW, i) == KSPIN_DATAFLOW_IN ? antennaId : transportId) = i;
  const KSPIN_MEDIUM medium = mediumOf(ch->tuner_, transportId);
  DWORD e = createPin(ch->tuner_, antennaId, mediumOf(ch->tuner_, antennaId), nullptr, &ch->antenna_);
  if (!e && capture) {
    // The capture filter whose input takes the transport pin's medium.
    ULONG inputId = 0;
    for (auto& p : interfacePaths(KSCATEGORY_BDA_RECEIVER_COMPONENT)) {
      HANDLE f = openPath(p);
      if (!f) continue;
      const ULONG n = pinUlong(f, KSPROPERTY_PIN_CTYPES, 0);
      for (ULONG i = 0; i < n && !ch->capture_; ++i)
        if (pinUlong(f, KSPROPERTY_PIN_DATAFLOW, i) == KSPIN_DATAFLOW_IN &&
            sameMedium(mediumOf(f, i), medium)) {
          ch->capture_ = f;
          inputId = i;
        }
      if (f != ch->capture_) CloseHandle(f);
      if (ch->capture_) break;
    }
    if (!ch->capture_) return fail(error, what + channelName(ref), ERROR_NOT_FOUND), nullptr;
    const ULONG outputId = inputId == 0 ? 1 : 0;
    e = createPin(ch->capture_, inputId, medium, nullptr, &ch->input_);
    if (!e) e = createPin(ch->tuner_, transportId, medium, ch->input_, &ch->transport_);
    if (!e) e = createPin(ch->capture_, outputId, mediumOf(ch->capture_, outputId), nullptr, &ch->output_);
    if (!e) {
      // The requests take whole frames, as the output pin's framing gives them.
      KSPROPERTY framing{};
      framing.Set = KSPROPSETID_Connection;
      framing.Id = KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX;
      framing.Flags = KSPROPERTY_TYPE_GET;
      KSALLOCATOR_FRAMING_EX fx{};
      e = request(ch->output_, IOCTL_KS_PROPERTY, &framing, sizeof framing, &fx, sizeof fx);
      ch->frameBytes_ = fx.FramingItem[0].FramingRange.Range.MaxFrameSize;
      if (!e && !ch->frameBytes_) e = ERROR_INVALID_PARAMETER;
    }
    if (!e) {
      const size_t reads = std::max<size_t>(kMinReads, kMaxBitrate / 8 / 4 / ch->frameBytes_ + 1);
      for (size_t i = 0; i < reads; ++i) {
        auto r = std::make_unique<Channel::Read>();
        r->buffer.assign(ch->frameBytes_, 0);
        r->ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!r->ov.hEvent) return fail(error, what + channelName(ref), GetLastError()), nullptr;
        ch->reads_.push_back(std::move(r));
      }
    }
  } else if (!e) {
    e = createPin(ch->tuner_, transportId, medium, nullptr, &ch->transport_);
  }
  if (e) return fail(error, what + channelName(ref), e), nullptr;
  // Out of STOP the filter acquires the tuner and a commit tunes it; the filter sees the state one
  // transition late, so go all the way to RUN.
  e = setState(ch->antenna_, KSSTATE_RUN);
  if (!e) e = setState(ch->transport_, KSSTATE_RUN);
  if (e) return fail(error, "channel " + channelName(ref) + " is busy", e), nullptr;
  return ch;
}

bool FrontEnd::control(int card, std::string* error) {
  if (card < 0 || card >= cards()) {
    if (error) *error = "no card " + std::to_string(card);
    return false;
  }
  Control& c = controls_.at(card);
  if (c.antenna) return true;
  const std::wstring path = tunerPath(card, kTunerReference[0]);
  if (path.empty()) {
    if (error) *error = "card " + std::to_string(card) + " has no channel A tuner filter";
    return false;
  }
  c.filter = openPath(path);
  DWORD e = c.filter ? DWORD(ERROR_SUCCESS) : GetLastError();
  ULONG antennaId = 0;
  if (!e && pinUlong(c.filter, KSPROPERTY_PIN_DATAFLOW, 0) != KSPIN_DATAFLOW_IN) antennaId = 1;
  if (!e) e = createPin(c.filter, antennaId, mediumOf(c.filter, antennaId), nullptr, &c.antenna);
  if (e) {
    closeControl(card);
    return fail(error, "cannot open channel A of card " + std::to_string(card), e);
  }
  return true;
}

DWORD FrontEnd::extended(int card, ULONG id, bool set, const void* payload, size_t payloadSize, void* data,
                         size_t dataSize, DWORD* bytes) {
  return extendedRequest(controls_.at(card).antenna, id, set, payload, payloadSize, data, dataSize, bytes);
}

bool FrontEnd::macGet(int card, int index, Mac& mac, std::string* error) {
  if (!control(card, error)) return false;
  uint8_t record[16] = {};
  ULONG idx = static_cast<ULONG>(index);
  memcpy(record, &idx, 4);
  uint8_t reply[16] = {};
  DWORD e = extended(card, kIdMac, false, record, sizeof record, reply, sizeof reply);
  if (e) return fail(error, "MAC read refused", e);
  memcpy(mac.data(), reply + 10, 6);
  return true;
}

bool FrontEnd::macSet(int card, int index, const Mac& mac, std::string* error) {
  if (!control(card, error)) return false;
  uint8_t record[16] = {};
  ULONG idx = static_cast<ULONG>(index);
  memcpy(record, &idx, 4);
  memcpy(record + 4, mac.data(), 6);
  DWORD e = extended(card, kIdMac, true, nullptr, 0, record, sizeof record);
  if (e) return fail(error, "MAC write failed", e);
  return true;
}

bool FrontEnd::tunerTypeGet(int card, int& type, std::string* error) {
  if (!control(card, error)) return false;
  uint8_t data[8] = {};
  DWORD e = extended(card, kIdDemodMode, false, nullptr, 0, data, sizeof data);
  if (e) return fail(error, "tuner type read refused", e);
  type = data[0];
  return true;
}

bool FrontEnd::tunerTypeSet(int card, uint8_t type, std::string* error) {
  if (!control(card, error)) return false;
  uint8_t data[8] = {type};
  DWORD e = extended(card, kIdDemodMode, true, nullptr, 0, data, sizeof data);
  if (e) return fail(error, "tuner type write failed", e);
  return true;
}

bool FrontEnd::flashId(int card, std::array<uint8_t, 3>& id, std::string* error) {
  if (!control(card, error)) return false;
  uint8_t data[40] = {};
  DWORD e = extended(card, kIdFlashId, false, nullptr, 0, data, sizeof data);
  if (e) return fail(error, "flash identification refused", e);
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
  DWORD e = extended(card, kIdFlashErase, true, nullptr, 0, words, sizeof words);
  if (e) return fail(error, "flash erase refused", e);
  if (words[2] != 1) {
    if (error) *error = "flash erase did not start";
    return false;
  }
  return true;
}

bool FrontEnd::flashIdle(int card, bool& idle, std::string* error) {
  if (!control(card, error)) return false;
  uint32_t words[3] = {};
  DWORD e = extended(card, kIdFlashErase, false, nullptr, 0, words, sizeof words);
  if (e) return fail(error, "flash status refused", e);
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
  DWORD e = extended(card, kIdFlashPage, true, nullptr, 0, data, sizeof data);
  if (e || data[0] != 1) return fail(error, "flash page program failed", e);
  return true;
}

bool FrontEnd::flashReadWord(int card, uint32_t address, uint8_t out[4], std::string* error) {
  if (!control(card, error)) return false;
  const uint8_t addr[8] = {static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                           static_cast<uint8_t>(address)};
  uint32_t words[3] = {};
  DWORD e = extended(card, kIdFlashRead, false, addr, sizeof addr, words, sizeof words);
  if (e) return fail(error, "flash read refused", e);
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
  DWORD e = extended(card, kIdRegs, false, record, sizeof record, reply, sizeof reply);
  if (e == ERROR_IO_DEVICE) return silentSlave(error, slave);
  if (e) return fail(error, "register read refused", e);
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
  DWORD e = extended(card, kIdRegs, true, nullptr, 0, record, sizeof record);
  if (e == ERROR_IO_DEVICE) return silentSlave(error, slave);
  if (e) return fail(error, "register write failed", e);
  return true;
}

}  // namespace zadivo::tool
