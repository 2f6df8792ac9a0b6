// The card as a Windows BDA application reaches it: SetupAPI, CreateFileW, DeviceIoControl with the
// framework's own property sets, KsCreatePin (a kernel-to-kernel join of the tuner to the capture filter) and
// queued read requests. The walk uses platform/user.h's names only; the fixture brings the machine up.
#include <string>
#include <vector>

#include "capture_fixture.h"
#include "platform/host/ks/ks_host.h"
#include "platform/host/user/user_host.h"
#include "platform/user.h"

using namespace capture_test;

namespace {

constexpr ULONG kMux = 474000;

std::wstring text(const GUID& g) {
  wchar_t t[40];
  std::swprintf(t, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1), g.Data2,
                g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return t;
}

// One outstanding read: its header, buffer and OVERLAPPED stay put while the driver fills it.
struct Read {
  KSSTREAM_HEADER header{};
  std::vector<UCHAR> buffer;
  OVERLAPPED ov{};
};

// What an application does, step by step, with Win32 calls only. Every failure is the Win32 error.
struct App {
  // Device paths of a category's enabled interfaces.
  static std::vector<std::wstring> paths(const GUID& category) {
    std::vector<std::wstring> out;
    HDEVINFO set = SetupDiGetClassDevsW(&category, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &category, i, &data); ++i) {
      DWORD size = 0;
      EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr));
      EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
      std::vector<ULONG_PTR> storage(size / sizeof(ULONG_PTR) + 1);
      auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage.data());
      detail->cbSize = sizeof(*detail);
      EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr));
      out.push_back(detail->DevicePath);
    }
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
    SetupDiDestroyDeviceInfoList(set);
    return out;
  }
  static HANDLE open(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  }
  // A request with an OVERLAPPED, completed as KsSynchronousDeviceControl completes it. Returns the Win32
  // error, bytes in *bytes.
  static DWORD control(HANDLE h, DWORD ioctl, const void* in, ULONG inSize, void* out, ULONG outSize,
                       DWORD* bytes = nullptr) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    BOOL ok = DeviceIoControl(h, ioctl, const_cast<void*>(in), inSize, out, outSize, &got, &ov);
    DWORD error = ok ? DWORD(ERROR_SUCCESS) : GetLastError();
    if (error == ERROR_IO_PENDING) error = GetOverlappedResult(h, &ov, &got, TRUE) ? 0 : GetLastError();
    CloseHandle(ov.hEvent);
    if (bytes) *bytes = got;
    return error;
  }
  // KSPROPSETID_Pin of a pin factory: the whole value, after asking for its size.
  static std::vector<UCHAR> pinValue(HANDLE filter, ULONG id, ULONG pinId) {
    KSP_PIN p{};
    p.Property.Set = KSPROPSETID_Pin;
    p.Property.Id = id;
    p.Property.Flags = KSPROPERTY_TYPE_GET;
    p.PinId = pinId;
    DWORD size = 0;
    EXPECT_EQ(control(filter, IOCTL_KS_PROPERTY, &p, sizeof(p), nullptr, 0, &size), DWORD(ERROR_MORE_DATA));
    std::vector<UCHAR> v(size);
    EXPECT_EQ(control(filter, IOCTL_KS_PROPERTY, &p, sizeof(p), v.data(), size, &size), DWORD(ERROR_SUCCESS));
    return v;
  }
  static ULONG pinUlong(HANDLE filter, ULONG id, ULONG pinId) {
    auto v = pinValue(filter, id, pinId);
    ULONG u = 0;
    if (v.size() >= sizeof(u)) std::memcpy(&u, v.data(), sizeof(u));
    return u;
  }
  static KSPIN_MEDIUM medium(HANDLE filter, ULONG pinId) {
    auto v = pinValue(filter, KSPROPERTY_PIN_MEDIUMS, pinId);
    KSPIN_MEDIUM m{};
    if (v.size() >= sizeof(KSMULTIPLE_ITEM) + sizeof(m))
      std::memcpy(&m, v.data() + sizeof(KSMULTIPLE_ITEM), sizeof(m));
    return m;
  }
  // DATARANGES sent back as DATAINTERSECTION: the format the pin takes.
  static std::vector<UCHAR> format(HANDLE filter, ULONG pinId) {
    auto ranges = pinValue(filter, KSPROPERTY_PIN_DATARANGES, pinId);
    KSP_PIN p{};
    p.Property.Set = KSPROPSETID_Pin;
    p.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    p.Property.Flags = KSPROPERTY_TYPE_GET;
    p.PinId = pinId;
    std::vector<UCHAR> req(sizeof(p));
    std::memcpy(req.data(), &p, sizeof(p));
    req.insert(req.end(), ranges.begin(), ranges.end());
    std::vector<UCHAR> f(1024);
    DWORD size = 0;
    EXPECT_EQ(control(filter, IOCTL_KS_PROPERTY, req.data(), ULONG(req.size()), f.data(), 1024, &size), 0u);
    f.resize(size);
    return f;
  }
  // KsCreatePin with the standard interface, the factory's medium and the format; 0 or the Win32 error.
  static DWORD create(HANDLE filter, ULONG pinId, const KSPIN_MEDIUM& medium,
                      const std::vector<UCHAR>& format, HANDLE peer, HANDLE* pin) {
    std::vector<UCHAR> buf(sizeof(KSPIN_CONNECT) + format.size());
    KSPIN_CONNECT c{};
    c.Interface.Set = KSINTERFACESETID_Standard;
    c.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    c.Medium = medium;
    c.PinId = pinId;
    c.PinToHandle = peer;
    c.Priority.PriorityClass = 1;
    std::memcpy(buf.data(), &c, sizeof(c));
    std::memcpy(buf.data() + sizeof(c), format.data(), format.size());
    return KsCreatePin(filter, reinterpret_cast<PKSPIN_CONNECT>(buf.data()), GENERIC_READ, pin);
  }
  static KSPROPERTY property(const GUID& set, ULONG id, ULONG flags) {
    KSPROPERTY p{};
    p.Set = set;
    p.Id = id;
    p.Flags = flags;
    return p;
  }
  static DWORD setState(HANDLE pin, KSSTATE state) {
    KSPROPERTY p = property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET);
    return control(pin, IOCTL_KS_PROPERTY, &p, sizeof(p), &state, sizeof(state));
  }
  static DWORD node(HANDLE h, ULONG nodeId, const GUID& set, ULONG id, ULONG flags, ULONG* value) {
    KSP_NODE p{};
    p.Property.Set = set;
    p.Property.Id = id;
    p.Property.Flags = flags | KSPROPERTY_TYPE_TOPOLOGY;
    p.NodeId = nodeId;
    return control(h, IOCTL_KS_PROPERTY, &p, sizeof(p), value, sizeof(*value));
  }
  static DWORD method(HANDLE filter, const GUID& set, ULONG id) {
    KSMETHOD m{};
    m.Set = set;
    m.Id = id;
    m.Flags = KSMETHOD_TYPE_SEND;
    return control(filter, IOCTL_KS_METHOD, &m, sizeof(m), nullptr, 0);
  }
  // Queues a read of one frame; ERROR_IO_PENDING is what a queued read answers.
  static DWORD queue(HANDLE pin, Read& r, ULONG size) {
    r.buffer.assign(size, 0);
    r.header = KSSTREAM_HEADER{};
    r.header.Size = sizeof(r.header);
    r.header.FrameExtent = size;
    r.header.Data = r.buffer.data();
    if (!r.ov.hEvent) r.ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    return DeviceIoControl(pin, IOCTL_KS_READ_STREAM, nullptr, 0, &r.header, sizeof(r.header), &got, &r.ov)
               ? DWORD(ERROR_SUCCESS)
               : GetLastError();
  }
  // A read that never completes fails the test rather than hanging it (a bound, not a timing).
  static DWORD wait(HANDLE pin, Read& r) {
    if (WaitForSingleObject(r.ov.hEvent, 60000) != WAIT_OBJECT_0) return WAIT_TIMEOUT;
    DWORD got = 0;
    return GetOverlappedResult(pin, &r.ov, &got, TRUE) ? DWORD(ERROR_SUCCESS) : GetLastError();
  }
};

// One channel's graph as a graph builder makes it, the handles it holds.
struct Channel {
  HANDLE tuner = INVALID_HANDLE_VALUE, capture = INVALID_HANDLE_VALUE;
  HANDLE antenna = nullptr, transport = nullptr, input = nullptr, output = nullptr;
  ULONG frameBytes = 0;
  std::vector<Read> reads;

  void close() {
    for (auto& r : reads) CloseHandle(r.ov.hEvent);
    reads.clear();
    for (HANDLE* h : {&output, &input, &transport, &antenna, &capture, &tuner}) {
      if (*h && *h != INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(CloseHandle(*h));
      }
    }
  }
};

class Application : public CaptureTest {
 protected:
  void SetUp() override {
    CaptureTest::SetUp();
    startSlow();
  }

  // The walk up to a running graph: the tuner filter of the channel (by its reference string), pin factories
  // by dataflow, the capture filter whose input medium is the transport pin's, pins created with the
  // intersected formats, the transport joined to the capture input, the tune, the states.
  void build(ULONG channel, Channel& c) {
    std::wstring reference = text(kTunerReference[channel - 1]);
    for (auto& path : App::paths(KSCATEGORY_BDA_NETWORK_TUNER))
      if (path.size() > reference.size() &&
          path.compare(path.size() - reference.size(), reference.size(), reference) == 0)
        c.tuner = App::open(path);
    ASSERT_NE(c.tuner, INVALID_HANDLE_VALUE) << "channel " << channel;
    ULONG antennaId = 0, transportId = 0, inputId = 0, outputId = 0;
    ULONG pins = App::pinUlong(c.tuner, KSPROPERTY_PIN_CTYPES, 0);
    ASSERT_EQ(pins, 2u);
    for (ULONG i = 0; i < pins; ++i)
      (App::pinUlong(c.tuner, KSPROPERTY_PIN_DATAFLOW, i) == KSPIN_DATAFLOW_IN ? antennaId : transportId) = i;
    KSPIN_MEDIUM medium = App::medium(c.tuner, transportId);
    for (auto& path : App::paths(KSCATEGORY_BDA_RECEIVER_COMPONENT)) {
      HANDLE f = App::open(path);
      ASSERT_NE(f, INVALID_HANDLE_VALUE);
      for (ULONG i = 0; i < App::pinUlong(f, KSPROPERTY_PIN_CTYPES, 0); ++i) {
        bool in = App::pinUlong(f, KSPROPERTY_PIN_DATAFLOW, i) == KSPIN_DATAFLOW_IN;
        KSPIN_MEDIUM m = App::medium(f, i);
        if (in && IsEqualGUID(m.Set, medium.Set) && m.Id == medium.Id && c.capture == INVALID_HANDLE_VALUE) {
          c.capture = f;
          inputId = i;
          outputId = 1 - i;
        }
      }
      if (f != c.capture) CloseHandle(f);
    }
    ASSERT_NE(c.capture, INVALID_HANDLE_VALUE) << "no capture filter matches the transport medium";

    ASSERT_EQ(App::create(c.tuner, antennaId, App::medium(c.tuner, antennaId),
                          App::format(c.tuner, antennaId), nullptr, &c.antenna),
              0u);
    ASSERT_EQ(App::create(c.capture, inputId, medium, App::format(c.capture, inputId), nullptr, &c.input),
              0u);
    ASSERT_EQ(
        App::create(c.tuner, transportId, medium, App::format(c.tuner, transportId), c.input, &c.transport),
        0u);
    ASSERT_EQ(App::create(c.capture, outputId, App::medium(c.capture, outputId),
                          App::format(c.capture, outputId), nullptr, &c.output),
              0u);
    // The frame size the application's buffers take, from the output pin's framing.
    KSPROPERTY framing =
        App::property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX, KSPROPERTY_TYPE_GET);
    KSALLOCATOR_FRAMING_EX fx{};
    ASSERT_EQ(App::control(c.output, IOCTL_KS_PROPERTY, &framing, sizeof(framing), &fx, sizeof(fx)), 0u);
    c.frameBytes = fx.FramingItem[0].FramingRange.Range.MaxFrameSize;

    ASSERT_EQ(App::setState(c.antenna, KSSTATE_RUN), 0u);
    ASSERT_EQ(App::setState(c.transport, KSSTATE_RUN), 0u);
    ASSERT_EQ(App::method(c.tuner, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_START_CHANGES), 0u);
    ULONG kHz = kMux, mhz = 8;
    ASSERT_EQ(App::node(c.antenna, 0, kFreq, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, KSPROPERTY_TYPE_SET, &kHz),
              0u);
    ASSERT_EQ(App::node(c.antenna, 0, kFreq, KSPROPERTY_BDA_RF_TUNER_BANDWIDTH, KSPROPERTY_TYPE_SET, &mhz),
              0u);
    ASSERT_EQ(App::method(c.tuner, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_COMMIT_CHANGES), 0u);
    ULONG locked = 0;
    for (int i = 0; i < 3000 && locked != 1; ++i) {
      App::node(c.transport, 1, kStats, KSPROPERTY_BDA_SIGNAL_LOCKED, KSPROPERTY_TYPE_GET, &locked);
      if (locked != 1) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(locked, 1u);
    ASSERT_EQ(App::setState(c.input, KSSTATE_RUN), 0u);
    ASSERT_EQ(App::setState(c.output, KSSTATE_PAUSE), 0u);
  }

  // Keeps `depth` reads queued on the output pin (queued first, then the pin runs) and checks `frames`
  // completed ones.
  static void stream(Channel& c, size_t depth, size_t frames, TsCheck& check) {
    c.reads.resize(depth);
    for (auto& r : c.reads) ASSERT_EQ(App::queue(c.output, r, c.frameBytes), DWORD(ERROR_IO_PENDING));
    ASSERT_EQ(App::setState(c.output, KSSTATE_RUN), 0u);
    for (size_t i = 0; i < frames; ++i) {
      Read& r = c.reads[i % depth];
      ASSERT_EQ(App::wait(c.output, r), 0u) << "frame " << i;
      check.frame(std::vector<UCHAR>(r.buffer.begin(), r.buffer.begin() + r.header.DataUsed));
      ASSERT_EQ(App::queue(c.output, r, c.frameBytes), DWORD(ERROR_IO_PENDING));
    }
  }
};

TEST_F(Application, WalksTheGraphReadsByQueuedRequestsAndStopCancelsTheRest) {
  Channel c;
  build(3, c);
  TsCheck check;
  stream(c, 4, 6, check);
  EXPECT_EQ(check.badFrames, 0u);
  EXPECT_EQ(check.syncLosses, 0u);
  EXPECT_EQ(check.ccErrors, 0u);
  EXPECT_EQ(check.tsids, std::set<int>{tsidAt(kMux)});
  // PAUSE stops the channel: a read queued then stays untouched, and STOP completes it as cancelled. Those
  // queued while running each either completed or were cancelled. A stopped pin refuses reads.
  ASSERT_EQ(App::setState(c.output, KSSTATE_PAUSE), 0u);
  Read late;
  ASSERT_EQ(App::queue(c.output, late, c.frameBytes), DWORD(ERROR_IO_PENDING));
  ASSERT_EQ(App::setState(c.output, KSSTATE_STOP), 0u);
  EXPECT_EQ(App::wait(c.output, late), DWORD(ERROR_OPERATION_ABORTED));
  CloseHandle(late.ov.hEvent);
  for (auto& r : c.reads) {
    DWORD error = App::wait(c.output, r);
    EXPECT_TRUE(error == ERROR_SUCCESS || error == ERROR_OPERATION_ABORTED) << error;
  }
  EXPECT_EQ(App::queue(c.output, c.reads[0], c.frameBytes), DWORD(ERROR_BAD_COMMAND));
  c.close();
  EXPECT_EQ(host::user::openHandles(), 0u);
  EXPECT_EQ(host::ks::livePins(), 0u);
  EXPECT_EQ(host::ks::liveFilters(), 0u);
}

TEST_F(Application, SizeQueriesAndBasicSupportAnswerAsWindowsDoes) {
  Channel c;
  build(1, c);
  struct Case {
    const GUID* set;
    ULONG id;
    bool onPin;
    ULONG size;  // 0: any
  } cases[] = {
      {&KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, false, sizeof(ULONG)},
      {&KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, false, sizeof(KSPIN_CINSTANCES)},
      {&KSPROPSETID_Pin, KSPROPERTY_PIN_MEDIUMS, false, sizeof(KSMULTIPLE_ITEM) + sizeof(KSPIN_MEDIUM)},
      {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, false, 0},
      {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, false, 0},
      {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, true, 0},
  };
  for (auto& k : cases) {
    KSP_PIN p{};
    p.Property.Set = *k.set;
    p.Property.Id = k.id;
    p.Property.Flags = KSPROPERTY_TYPE_GET;
    p.PinId = 1;
    HANDLE h = k.onPin ? c.output : c.tuner;
    DWORD size = 0;
    EXPECT_EQ(App::control(h, IOCTL_KS_PROPERTY, &p, sizeof(p), nullptr, 0, &size), DWORD(ERROR_MORE_DATA));
    if (k.size) {
      EXPECT_EQ(size, k.size) << "property " << k.id;
    }
    // One byte short: refused, and nothing reaches the caller's buffer.
    std::vector<UCHAR> small(size - 1, 0xA5);
    EXPECT_EQ(App::control(h, IOCTL_KS_PROPERTY, &p, sizeof(p), small.data(), size - 1),
              DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(small, std::vector<UCHAR>(size - 1, 0xA5));
    p.Property.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
    ULONG access = 0;
    EXPECT_EQ(App::control(h, IOCTL_KS_PROPERTY, &p, sizeof(p), &access, sizeof(access)), 0u);
    EXPECT_EQ(access & KSPROPERTY_TYPE_GET, ULONG(KSPROPERTY_TYPE_GET));
  }
  // The state is settable and one step at a time: PAUSE to STOP passes ACQUIRE.
  KSPROPERTY p =
      App::property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_BASICSUPPORT);
  KSPROPERTY_DESCRIPTION d{};
  EXPECT_EQ(App::control(c.output, IOCTL_KS_PROPERTY, &p, sizeof(p), &d, sizeof(d)), 0u);
  EXPECT_EQ(d.AccessFlags, ULONG(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));
  c.close();
}

TEST_F(Application, CreatesAreRefusedAsWindowsRefusesThem) {
  Channel c;
  build(2, c);
  KSPIN_MEDIUM transportMedium = App::medium(c.tuner, 1);
  KSPIN_MEDIUM otherCard = transportMedium;
  ++otherCard.Id;
  std::vector<UCHAR> antennaFormat = App::format(c.tuner, 0), wrongFormat = antennaFormat;
  reinterpret_cast<KSDATAFORMAT*>(wrongFormat.data())->MajorFormat = KSDATAFORMAT_TYPE_STREAM;
  struct Case {
    const char* what;
    ULONG pinId;
    KSPIN_MEDIUM medium;
    const std::vector<UCHAR>* format;
    HANDLE peer;
    DWORD error;
  } cases[] = {
      {"wrong medium", 0, otherCard, &antennaFormat, nullptr, ERROR_NO_MATCH},
      {"wrong format", 0, App::medium(c.tuner, 0), &wrongFormat, nullptr, ERROR_NO_MATCH},
      {"one instance too many", 0, App::medium(c.tuner, 0), &antennaFormat, nullptr, ERROR_BUSY},
      {"no such pin factory", 7, App::medium(c.tuner, 0), &antennaFormat, nullptr, ERROR_INVALID_PARAMETER},
      {"peer that is no pin", 1, transportMedium, &antennaFormat, c.tuner, ERROR_INVALID_HANDLE},
  };
  for (auto& k : cases) {
    HANDLE pin = nullptr;
    EXPECT_EQ(App::create(c.tuner, k.pinId, k.medium, *k.format, k.peer, &pin), k.error) << k.what;
  }
  c.close();
  EXPECT_EQ(host::ks::livePins(), 0u);
}

// A running channel with no read queued has nowhere to put data: the driver finds no frame and drops what
// its ring cannot hold, counting it; another channel streams on undisturbed; reads resume the first.
TEST_F(Application, AStarvedPinLeavesOtherChannelsAloneAndResumes) {
  Channel starved, busy;
  build(4, starved);
  build(5, busy);
  ASSERT_EQ(App::setState(starved.output, KSSTATE_RUN), 0u);
  TsCheck other;
  stream(busy, 4, 8, other);
  EXPECT_GT(host::user::starvedCalls(starved.output), 0u);
  EXPECT_EQ(other.ccErrors, 0u);
  EXPECT_EQ(other.badFrames, 0u);
#ifndef ZADIVO_TEST_IMAGE
  // The ring outlasts a few frames; wait until the stream has overrun it (bounded, not timed).
  for (int i = 0; i < 2000 && device()->_unread_blocks[3] == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GT(device()->_unread_blocks[3], 0u);
  EXPECT_EQ(device()->_unread_blocks[4], 0u);
#endif
  TsCheck resumed;
  stream(starved, 4, 3, resumed);
  EXPECT_EQ(resumed.badFrames, 0u);
  EXPECT_EQ(resumed.syncLosses, 0u);
  starved.close();
  busy.close();
}

TEST_F(Application, CancelAndRequestsOnClosedHandles) {
  Channel c;
  build(6, c);
  // PAUSE: reads queue but nothing fills them, so a cancel finds them untouched.
  c.reads.resize(2);
  for (auto& r : c.reads) ASSERT_EQ(App::queue(c.output, r, c.frameBytes), DWORD(ERROR_IO_PENDING));
  EXPECT_TRUE(CancelIoEx(c.output, &c.reads[0].ov));
  EXPECT_EQ(App::wait(c.output, c.reads[0]), DWORD(ERROR_OPERATION_ABORTED));
  DWORD got = 0;
  EXPECT_FALSE(GetOverlappedResult(c.output, &c.reads[1].ov, &got, FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));
  // Closing the pin completes its last read as cancelled; the handle is gone for every later call.
  HANDLE output = c.output;
  ASSERT_TRUE(CloseHandle(output));
  c.output = nullptr;
  EXPECT_EQ(App::wait(output, c.reads[1]), DWORD(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(App::queue(output, c.reads[1], c.frameBytes), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(App::setState(output, KSSTATE_RUN), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(output));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  // A pin keeps its filter: with the filter's handle closed first, the pin still answers.
  ASSERT_TRUE(CloseHandle(c.tuner));
  c.tuner = nullptr;
  EXPECT_EQ(App::setState(c.antenna, KSSTATE_STOP), 0u);
  EXPECT_EQ(host::ks::liveFilters(), 2u);
  c.close();
  EXPECT_EQ(host::ks::liveFilters(), 0u);
  EXPECT_EQ(host::user::openHandles(), 0u);
}

}  // namespace
