// The Win32 calls a kernel-streaming application makes, over the emulated I/O manager: every call becomes the
// request Windows would send (a create with its KSPIN_CONNECT for a pin, a device control with the IOCTL and
// the caller's buffers, a read with the caller's stream headers), and statuses reach the caller as the Win32
// errors Windows maps them to.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/ks/ks_internal.h"
#include "platform/host/user/user_host.h"
#include "platform/user.h"

namespace kd = host::ks::detail;

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

struct Event {
  std::mutex m;
  std::condition_variable cv;
  bool manualReset = true;
  bool signaled = false;
  void set() {
    std::lock_guard<std::mutex> g(m);
    signaled = true;
    cv.notify_all();
  }
};

// A filter stays open while a handle to it or to one of its pins does, as the I/O manager keeps a pin's
// filter file object referenced.
struct FilterRef {
  std::shared_ptr<kd::Filter> filter;
  FilterRef() = default;
  FilterRef(const FilterRef&) = delete;
  FilterRef& operator=(const FilterRef&) = delete;
  ~FilterRef() {
    if (filter) kd::closeFilter(filter);
  }
};

// A read the driver has not completed yet, as the caller's OVERLAPPED sees it.
struct PendingRead {
  std::shared_ptr<kd::ReadRequest> request;
  LPOVERLAPPED overlapped = nullptr;
};

struct Object {
  enum class Kind { kDevInfo, kFilter, kPin, kEvent } kind;
  std::vector<host::ks::Registration> interfaces;  // kDevInfo
  GUID category{};                                 // kDevInfo
  std::shared_ptr<FilterRef> filter;               // kFilter, and a pin's filter
  std::shared_ptr<kd::Pin> pin;                    // kPin
  std::shared_ptr<Event> event;                    // kEvent
  std::vector<PendingRead> reads;                  // kPin, guarded by the table's lock
};

struct Table {
  std::mutex m;
  uintptr_t next = 0x1000;
  std::map<uintptr_t, std::shared_ptr<Object>> objects;
};

Table& table() {
  static Table* t = new Table;
  return *t;
}

HANDLE add(std::shared_ptr<Object> object) {
  auto& t = table();
  std::lock_guard<std::mutex> g(t.m);
  uintptr_t h = t.next;
  t.next += 4;
  t.objects[h] = std::move(object);
  return reinterpret_cast<HANDLE>(h);
}

std::shared_ptr<Object> lookup(HANDLE h, Object::Kind kind) {
  auto& t = table();
  std::lock_guard<std::mutex> g(t.m);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
  if (it == t.objects.end() || it->second->kind != kind) return nullptr;
  return it->second;
}

BOOL fail(DWORD error) {
  lastError = error;
  return FALSE;
}

std::wstring guidText(const GUID& g) {
  wchar_t text[40];
  std::swprintf(text, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1), g.Data2,
                g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return text;
}

// A device interface's path: the device instance (one for all interfaces of a device, as on Windows), the
// category, and the factory's reference string last.
std::wstring pathOf(const host::ks::Registration& r) {
  wchar_t instance[64];
  std::swprintf(instance, 64, L"%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(r.device)));
  return L"\\\\?\\root#zadivo#" + std::wstring(instance) + L"#" + guidText(r.category) + L"\\" +
         guidText(r.reference);
}

std::vector<host::ks::Registration> openableInterfaces(const GUID& category) {
  std::vector<host::ks::Registration> out;
  for (auto& r : host::ks::registered(category))
    if (r.openable) out.push_back(r);
  return out;
}

// The status in an OVERLAPPED, which the completing thread writes while the caller may look.
NTSTATUS statusOf(LPOVERLAPPED ov) {
  return NTSTATUS(ULONG(std::atomic_ref<ULONG_PTR>(ov->Internal).load(std::memory_order_acquire)));
}
void setStatus(LPOVERLAPPED ov, NTSTATUS status) {
  std::atomic_ref<ULONG_PTR>(ov->Internal).store(ULONG_PTR(ULONG(status)), std::memory_order_release);
}

// Where an OVERLAPPED's result is written and its event set.
void complete(LPOVERLAPPED ov, NTSTATUS status, ULONG bytes) {
  if (!ov) return;
  ov->InternalHigh = bytes;
  setStatus(ov, status);
  if (auto e = lookup(ov->hEvent, Object::Kind::kEvent)) e->event->set();
}

// A finished request as the caller sees it: success, or FALSE and the error (with the size for a warning).
BOOL finished(NTSTATUS status, ULONG bytes, LPDWORD returned, LPOVERLAPPED ov) {
  bool warning = (ULONG(status) >> 30) == 2;
  if (returned) *returned = NT_SUCCESS(status) || warning ? bytes : 0;
  complete(ov, status, NT_SUCCESS(status) || warning ? bytes : 0);
  if (NT_SUCCESS(status)) {
    lastError = ERROR_SUCCESS;
    return TRUE;
  }
  return fail(host::user::win32ErrorOf(status));
}

BOOL readStream(const std::shared_ptr<Object>& object, LPVOID out, DWORD outSize, LPDWORD returned,
                LPOVERLAPPED ov) {
  // Applications pass the headers as the output buffer; the framework takes them from there.
  if (!out || outSize < sizeof(KSSTREAM_HEADER) || outSize % sizeof(KSSTREAM_HEADER))
    return finished(STATUS_INVALID_PARAMETER, 0, returned, ov);
  auto* headers = static_cast<KSSTREAM_HEADER*>(out);
  auto request = std::make_shared<kd::ReadRequest>();
  request->headers = headers;
  for (DWORD i = 0; i < outSize / sizeof(KSSTREAM_HEADER); ++i) {
    if (headers[i].Size != sizeof(KSSTREAM_HEADER) || !headers[i].Data || !headers[i].FrameExtent)
      return finished(STATUS_INVALID_PARAMETER, 0, returned, ov);
    auto frame = std::make_unique<kd::Frame>();
    frame->external = static_cast<UCHAR*>(headers[i].Data);
    frame->externalSize = headers[i].FrameExtent;
    request->frames.push_back(std::move(frame));
  }
  // Without an OVERLAPPED the call waits for the request, as a synchronous handle would.
  auto done = std::make_shared<Event>();
  request->done = [ov, done](NTSTATUS status, ULONG bytes) {
    complete(ov, status, bytes);
    done->set();
  };
  if (ov) {
    std::lock_guard<std::mutex> g(table().m);
    object->reads.push_back({request, ov});
  }
  NTSTATUS status = kd::queueRead(object->pin, request);
  if (status != STATUS_PENDING) {
    {
      std::lock_guard<std::mutex> g(table().m);
      auto& v = object->reads;
      v.erase(std::remove_if(v.begin(), v.end(), [&](const PendingRead& r) { return r.request == request; }),
              v.end());
    }
    return finished(status, 0, returned, ov);
  }
  if (ov) return fail(ERROR_IO_PENDING);
  {
    std::unique_lock<std::mutex> g(done->m);
    done->cv.wait(g, [&] { return done->signaled; });
  }
  return finished(request->status, ULONG(request->frames.size() * sizeof(KSSTREAM_HEADER)), returned,
                  nullptr);
}

// Forgets reads that have completed: the request's status is final once its OVERLAPPED no longer pends.
void prune(Object& object) {
  auto& v = object.reads;
  v.erase(std::remove_if(v.begin(), v.end(),
                         [](const PendingRead& r) { return statusOf(r.overlapped) != STATUS_PENDING; }),
          v.end());
}

}  // namespace

namespace host::user {

DWORD win32ErrorOf(NTSTATUS status) {
  struct Map {
    NTSTATUS status;
    DWORD error;
  };
  static const Map kMap[] = {
      {STATUS_SUCCESS, ERROR_SUCCESS},
      {STATUS_PENDING, ERROR_IO_PENDING},
      {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
      {STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
      {STATUS_DEVICE_BUSY, ERROR_BUSY},
      {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
      {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
      {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
      {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
      {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
      {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
      {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
      {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
      {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
      {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
      {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
      {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
      {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
      {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
      {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
      {STATUS_NO_MATCH, ERROR_NO_MATCH},
      {STATUS_ADAPTER_HARDWARE_ERROR, ERROR_GEN_FAILURE},
      {STATUS_IO_DEVICE_ERROR, ERROR_IO_DEVICE},
  };
  for (const Map& m : kMap)
    if (m.status == status) return m.error;
  return ERROR_MR_MID_NOT_FOUND;
}

size_t openHandles() {
  std::lock_guard<std::mutex> g(table().m);
  return table().objects.size();
}

PKSPIN ksPinOf(HANDLE pin) {
  auto o = lookup(pin, Object::Kind::kPin);
  return o ? &o->pin->ks : nullptr;
}

uint64_t starvedCalls(HANDLE pin) {
  auto o = lookup(pin, Object::Kind::kPin);
  if (!o) return 0;
  std::lock_guard<std::mutex> g(o->pin->data);
  return o->pin->starvedCalls;
}

}  // namespace host::user

extern "C" {

DWORD GetLastError() { return lastError; }
VOID SetLastError(DWORD error) { lastError = error; }

// ---- SetupAPI
// ---------------------------------------------------------------------------------------------------

HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, LPCWSTR, HWND, DWORD Flags) {
  // Interface lists by category only; only enabled interfaces exist to list.
  if (!ClassGuid || !(Flags & DIGCF_DEVICEINTERFACE)) {
    lastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  auto o = std::make_shared<Object>();
  o->kind = Object::Kind::kDevInfo;
  o->category = *ClassGuid;
  o->interfaces = openableInterfaces(*ClassGuid);
  lastError = ERROR_SUCCESS;
  return add(std::move(o));
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA, const GUID* InterfaceClassGuid,
                                 DWORD MemberIndex, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  auto o = lookup(DeviceInfoSet, Object::Kind::kDevInfo);
  if (!o) return fail(ERROR_INVALID_HANDLE);
  if (!InterfaceClassGuid || !DeviceInterfaceData) return fail(ERROR_INVALID_PARAMETER);
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
  if (!IsEqualGUID(*InterfaceClassGuid, o->category) || MemberIndex >= o->interfaces.size())
    return fail(ERROR_NO_MORE_ITEMS);
  DeviceInterfaceData->InterfaceClassGuid = o->category;
  DeviceInterfaceData->Flags = SPINT_ACTIVE;
  DeviceInterfaceData->Reserved = MemberIndex + 1;
  lastError = ERROR_SUCCESS;
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W Detail, DWORD DetailSize,
                                      PDWORD RequiredSize, PSP_DEVINFO_DATA) {
  auto o = lookup(DeviceInfoSet, Object::Kind::kDevInfo);
  if (!o) return fail(ERROR_INVALID_HANDLE);
  if (!DeviceInterfaceData || DeviceInterfaceData->Reserved == 0 ||
      DeviceInterfaceData->Reserved > o->interfaces.size())
    return fail(ERROR_INVALID_PARAMETER);
  std::wstring path = pathOf(o->interfaces[DeviceInterfaceData->Reserved - 1]);
  DWORD required =
      DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(wchar_t));
  if (RequiredSize) *RequiredSize = required;
  if (!Detail) return fail(DetailSize ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
  if (Detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return fail(ERROR_INVALID_USER_BUFFER);
  if (DetailSize < required) return fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(Detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
  lastError = ERROR_SUCCESS;
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  if (!lookup(DeviceInfoSet, Object::Kind::kDevInfo)) return fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> g(table().m);
  table().objects.erase(reinterpret_cast<uintptr_t>(DeviceInfoSet));
  lastError = ERROR_SUCCESS;
  return TRUE;
}

// ---- Files
// ------------------------------------------------------------------------------------------------------

HANDLE CreateFileW(LPCWSTR FileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD CreationDisposition, DWORD,
                   HANDLE) {
  if (!FileName || CreationDisposition != OPEN_EXISTING) {
    lastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  // The path names an enabled interface of the category it carries; Windows compares it case-blind.
  std::wstring want(FileName);
  std::transform(want.begin(), want.end(), want.begin(), ::towlower);
  GUID category{};
  size_t hash = want.rfind(L'#');
  unsigned d[11] = {};
  if (hash == std::wstring::npos ||
      std::swscanf(want.c_str() + hash + 1, L"{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1], &d[2],
                   &d[3], &d[4], &d[5], &d[6], &d[7], &d[8], &d[9], &d[10]) != 11) {
    lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  category = {ULONG(d[0]), USHORT(d[1]), USHORT(d[2]), {}};
  for (int i = 0; i < 8; ++i) category.Data4[i] = UCHAR(d[3 + i]);
  std::vector<host::ks::Registration> all = openableInterfaces(category);
  const host::ks::Registration* found = nullptr;
  for (auto& r : all) {
    std::wstring path = pathOf(r);
    std::transform(path.begin(), path.end(), path.begin(), ::towlower);
    if (path == want) found = &r;
  }
  if (!found) {
    lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<kd::Filter> filter;
  NTSTATUS status = kd::openFilter(found->id, filter);
  if (!NT_SUCCESS(status)) {
    lastError = host::user::win32ErrorOf(status);
    return INVALID_HANDLE_VALUE;
  }
  auto o = std::make_shared<Object>();
  o->kind = Object::Kind::kFilter;
  o->filter = std::make_shared<FilterRef>();
  o->filter->filter = std::move(filter);
  lastError = ERROR_SUCCESS;
  return add(std::move(o));
}

BOOL CloseHandle(HANDLE Object) {
  std::shared_ptr<::Object> o;
  {
    std::lock_guard<std::mutex> g(table().m);
    auto it = table().objects.find(reinterpret_cast<uintptr_t>(Object));
    if (it == table().objects.end() || it->second->kind == Object::Kind::kDevInfo)
      return fail(ERROR_INVALID_HANDLE);
    o = it->second;
    table().objects.erase(it);
  }
  // Closing a pin completes what it still has queued as cancelled.
  if (o->kind == Object::Kind::kPin) kd::closePin(o->pin);
  lastError = ERROR_SUCCESS;
  return TRUE;
}

BOOL DeviceIoControl(HANDLE Device, DWORD IoControlCode, LPVOID InBuffer, DWORD InBufferSize,
                     LPVOID OutBuffer, DWORD OutBufferSize, LPDWORD BytesReturned, LPOVERLAPPED Overlapped) {
  if (BytesReturned) *BytesReturned = 0;
  auto o = lookup(Device, Object::Kind::kPin);
  if (!o) o = lookup(Device, Object::Kind::kFilter);
  if (!o) return fail(ERROR_INVALID_HANDLE);
  if (Overlapped) {
    Overlapped->InternalHigh = 0;
    setStatus(Overlapped, STATUS_PENDING);
    if (auto e = lookup(Overlapped->hEvent, Object::Kind::kEvent)) {
      std::lock_guard<std::mutex> g(e->event->m);
      e->event->signaled = false;
    }
  }
  if (IoControlCode == IOCTL_KS_READ_STREAM) {
    if (o->kind != Object::Kind::kPin)
      return finished(STATUS_INVALID_DEVICE_REQUEST, 0, BytesReturned, Overlapped);
    return readStream(o, OutBuffer, OutBufferSize, BytesReturned, Overlapped);
  }
  if (IoControlCode != IOCTL_KS_PROPERTY && IoControlCode != IOCTL_KS_METHOD)
    return finished(STATUS_INVALID_DEVICE_REQUEST, 0, BytesReturned, Overlapped);
  if (!InBuffer) return finished(STATUS_INVALID_PARAMETER, 0, BytesReturned, Overlapped);
  kd::Filter* filter = o->filter->filter.get();
  kd::Pin* pin = o->kind == Object::Kind::kPin ? o->pin.get() : nullptr;
  // The value comes back only with a success (or, for a method, the caller's in-out buffer as it was): a
  // failure copies nothing back to the caller.
  std::vector<UCHAR> value(OutBufferSize);
  if (OutBuffer && OutBufferSize) std::memcpy(value.data(), OutBuffer, OutBufferSize);
  ULONG bytes = 0;
  NTSTATUS status = kd::request(filter, pin, IoControlCode, InBuffer, InBufferSize,
                                OutBufferSize ? value.data() : nullptr, OutBufferSize, &bytes);
  if (NT_SUCCESS(status) && OutBuffer && OutBufferSize) std::memcpy(OutBuffer, value.data(), OutBufferSize);
  return finished(status, bytes, BytesReturned, Overlapped);
}

BOOL GetOverlappedResult(HANDLE File, LPOVERLAPPED Overlapped, LPDWORD Transferred, BOOL Wait) {
  if (!Overlapped) return fail(ERROR_INVALID_PARAMETER);
  auto pending = [&] { return statusOf(Overlapped) == STATUS_PENDING; };
  if (pending()) {
    if (!Wait) return fail(ERROR_IO_INCOMPLETE);
    auto e = lookup(Overlapped->hEvent, Object::Kind::kEvent);
    if (!e) return fail(ERROR_INVALID_HANDLE);
    std::unique_lock<std::mutex> g(e->event->m);
    e->event->cv.wait(g, [&] { return !pending(); });
  }
  if (auto o = lookup(File, Object::Kind::kPin)) {
    std::lock_guard<std::mutex> g(table().m);
    prune(*o);
  }
  NTSTATUS status = statusOf(Overlapped);
  if (Transferred) *Transferred = DWORD(Overlapped->InternalHigh);
  if (NT_SUCCESS(status)) {
    lastError = ERROR_SUCCESS;
    return TRUE;
  }
  return fail(host::user::win32ErrorOf(status));
}

BOOL CancelIoEx(HANDLE File, LPOVERLAPPED Overlapped) {
  auto o = lookup(File, Object::Kind::kPin);
  if (!o) return lookup(File, Object::Kind::kFilter) ? fail(ERROR_NOT_FOUND) : fail(ERROR_INVALID_HANDLE);
  std::vector<PendingRead> reads;
  {
    std::lock_guard<std::mutex> g(table().m);
    prune(*o);
    for (auto& r : o->reads)
      if (!Overlapped || r.overlapped == Overlapped) reads.push_back(r);
  }
  bool any = false;
  for (auto& r : reads) any |= kd::cancelRead(o->pin, r.request.get());
  if (!any) return fail(ERROR_NOT_FOUND);
  lastError = ERROR_SUCCESS;
  return TRUE;
}

// ---- Events
// -----------------------------------------------------------------------------------------------------

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL ManualReset, BOOL InitialState, LPCWSTR) {
  auto o = std::make_shared<Object>();
  o->kind = Object::Kind::kEvent;
  o->event = std::make_shared<Event>();
  o->event->manualReset = ManualReset != FALSE;
  o->event->signaled = InitialState != FALSE;
  lastError = ERROR_SUCCESS;
  return add(std::move(o));
}

BOOL SetEvent(HANDLE Event) {
  auto o = lookup(Event, Object::Kind::kEvent);
  if (!o) return fail(ERROR_INVALID_HANDLE);
  o->event->set();
  return TRUE;
}

BOOL ResetEvent(HANDLE Event) {
  auto o = lookup(Event, Object::Kind::kEvent);
  if (!o) return fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> g(o->event->m);
  o->event->signaled = false;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE Handle, DWORD Milliseconds) {
  auto o = lookup(Handle, Object::Kind::kEvent);
  if (!o) {
    lastError = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  Event& e = *o->event;
  std::unique_lock<std::mutex> g(e.m);
  auto ready = [&] { return e.signaled; };
  if (Milliseconds == INFINITE)
    e.cv.wait(g, ready);
  else if (!e.cv.wait_for(g, std::chrono::milliseconds(Milliseconds), ready))
    return WAIT_TIMEOUT;
  if (!e.manualReset) e.signaled = false;
  return WAIT_OBJECT_0;
}

// ---- Pins
// -------------------------------------------------------------------------------------------------------

DWORD KsCreatePin(HANDLE FilterHandle, PKSPIN_CONNECT Connect, ACCESS_MASK, PHANDLE ConnectionHandle) {
  auto f = lookup(FilterHandle, Object::Kind::kFilter);
  if (!f) return ERROR_INVALID_HANDLE;
  if (!Connect || !ConnectionHandle) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<kd::Pin> peer;
  if (Connect->PinToHandle) {
    auto p = lookup(Connect->PinToHandle, Object::Kind::kPin);
    if (!p) return ERROR_INVALID_HANDLE;
    peer = p->pin;
  }
  // The create's name carries the connect record and the data format right after it.
  const auto* format = reinterpret_cast<const KSDATAFORMAT*>(Connect + 1);
  std::shared_ptr<kd::Pin> pin;
  NTSTATUS status = kd::connectPin(f->filter->filter, *Connect, format, format->FormatSize, peer, pin);
  if (!NT_SUCCESS(status)) return host::user::win32ErrorOf(status);
  auto o = std::make_shared<Object>();
  o->kind = Object::Kind::kPin;
  o->pin = std::move(pin);
  o->filter = f->filter;  // a pin keeps its filter object
  *ConnectionHandle = add(std::move(o));
  return ERROR_SUCCESS;
}

}  // extern "C"
