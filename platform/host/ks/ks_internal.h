// Internals of the kernel-streaming emulation shared by its sources and the client library: the objects
// behind KSFILTERFACTORY, KSFILTER and KSPIN, the allocator frames of a pin, and the request entry points.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/bda.h"
#include "platform/host/ks/ks_host.h"
#include "platform/ks.h"

namespace host::ks::detail {

struct Factory;
struct Filter;
struct Pin;

// What IO_STACK_LOCATION.FileObject points at in every request the emulation sends.
struct FileObject {
  Filter* filter = nullptr;
  Pin* pin = nullptr;  // null for a filter handle
};

struct Factory {
  KSFILTERFACTORY ks{};  // first: PKSFILTERFACTORY and Factory* are the same address
  PKSDEVICE device = nullptr;
  ULONG createFlags = 0;
  const BDA_FILTER_TEMPLATE* bdaTemplate = nullptr;
  std::vector<std::shared_ptr<Filter>> filters;  // guarded by the global lock
  bool dead = false;                             // torn down
  bool deleted = false;                          // by the driver: no new filters, freed with the last
  // Its device interfaces: enabled when the device's start completes or by
  // KsFilterFactorySetDeviceClassesState. Applications neither list nor open a disabled one. Guarded by the
  // global lock.
  bool interfacesEnabled = false;
};

// A filter's control mutex: recursive, and every thread counts those it holds, so that taking the device
// mutex under one (the framework's order is the device mutex first) is caught.
class ControlMutex {
 public:
  void lock() {
    m_.lock();
    ++heldByThisThread();
  }
  void unlock() {
    --heldByThisThread();
    m_.unlock();
  }
  static int& heldByThisThread() {
    thread_local int held = 0;
    return held;
  }

 private:
  std::recursive_mutex m_;
};

struct BdaState {
  bool initialised = false;
  const BDA_FILTER_TEMPLATE* tmpl = nullptr;
  bool inTransaction = false;
  std::vector<std::pair<ULONG, ULONG>> pending;    // joints created in the open transaction
  std::vector<std::pair<ULONG, ULONG>> committed;  // the filter's topology
};

struct Filter {
  KSFILTER ks{};  // first
  Factory* factory = nullptr;
  FileObject file;
  ControlMutex control;  // serialises control requests, as the framework's filter control mutex
  std::vector<std::shared_ptr<Pin>> pins;  // guarded by control
  BdaState bda;                            // guarded by control
  bool closed = false;                     // guarded by control
};

struct ReadRequest;

struct Frame {
  std::vector<UCHAR> data;  // the allocator's own memory; empty for a frame of a read request
  KSSTREAM_HEADER header{};
  int refs = 0;          // clones holding the frame
  bool reading = false;  // a client copies it out (without the pin's data lock)
  // A frame of an application's read request fills the caller's buffer and completes with the request.
  ReadRequest* request = nullptr;
  UCHAR* external = nullptr;
  ULONG externalSize = 0;
  UCHAR* bytes() { return external ? external : data.data(); }
  ULONG size() const { return external ? externalSize : ULONG(data.size()); }
};

// One IOCTL_KS_READ_STREAM: a frame per stream header of the caller, completed once all of them are (or
// at stop or cancel). done is called once, under the pin's data lock: it must only record and signal.
struct ReadRequest {
  std::vector<std::unique_ptr<Frame>> frames;
  KSSTREAM_HEADER* headers = nullptr;  // the caller's, written back at completion
  ULONG pending = 0;
  NTSTATUS status = STATUS_SUCCESS;
  std::function<void(NTSTATUS status, ULONG bytes)> done;
};

struct Clone {
  KSSTREAM_POINTER sp{};  // first
  Frame* frame = nullptr;
  std::vector<UCHAR> context;
  PFNKSSTREAMPOINTER cancel = nullptr;
};

struct Pin {
  KSPIN ks{};  // first
  Filter* filter = nullptr;
  FileObject file;
  std::vector<UCHAR> format;  // the connection format
  bool closed = false;        // guarded by filter->control

  // Data path, guarded by data.
  std::mutex data;
  std::condition_variable delivered_cv;
  std::vector<std::unique_ptr<Frame>> frames;  // the allocator: every frame the pin owns
  std::deque<Frame*> queue;                    // frames handed to the pin, oldest first
  size_t edge = 0;                             // queue index of the leading edge; [0, edge) passed
  std::deque<Frame*> delivered;                // completed frames the client has not read
  std::list<std::unique_ptr<Clone>> clones;
  KSSTREAM_POINTER leading{};
  bool leadingHandedOut = false;
  bool streaming = false;  // frames circulate (ACQUIRE and above)
  bool dataClosed = false;
  // Created by an application's create request: its frames are the application's read requests, not an
  // allocator's.
  bool requestDriven = false;
  std::deque<std::shared_ptr<ReadRequest>> requests;  // queued, oldest first
  uint64_t starvedCalls = 0;                          // leading-edge requests met with no read request queued

  // The pin at the other end of a kernel-to-kernel connection; guarded by the global lock, as is gone.
  Pin* peer = nullptr;
  bool gone = false;
};

// The global lock guards the object tables and the registry; never held while calling the driver.
std::mutex& globalLock();

// The device mutex (KsAcquireDevice) held for a scope by the framework itself.
class DeviceHold {
 public:
  explicit DeviceHold(PKSDEVICE device) : device_(device) { KsAcquireDevice(device_); }
  ~DeviceHold() { KsReleaseDevice(device_); }
  DeviceHold(const DeviceHold&) = delete;
  DeviceHold& operator=(const DeviceHold&) = delete;

 private:
  PKSDEVICE device_;
};

// Object lookup (nullptr when the object is gone).
std::shared_ptr<Pin> pinOf(PKSPIN pin);
Filter* filterFromIrp(PIRP irp);

// Entry points for the client.
NTSTATUS openFilter(uint64_t registrationId, std::shared_ptr<Filter>& out);
NTSTATUS closeFilter(const std::shared_ptr<Filter>& filter);
// ioctl: IOCTL_KS_PROPERTY or IOCTL_KS_METHOD; pin may be null (filter handle).
NTSTATUS request(Filter* filter, Pin* pin, ULONG ioctl, const void* req, ULONG reqSize, void* data,
                 ULONG dataSize, ULONG* bytesReturned);
NTSTATUS intersect(Filter* filter, ULONG pinId, const KSDATARANGE* range, ULONG rangeSize,
                   std::vector<UCHAR>& format);
NTSTATUS createPin(const std::shared_ptr<Filter>& filter, ULONG pinId, const KSDATARANGE* range,
                   ULONG rangeSize, std::shared_ptr<Pin>& out);
// A create request as an application sends it: the connect record and the format that follows it. peer is
// the pin PinToHandle names (null: the application is the peer).
NTSTATUS connectPin(const std::shared_ptr<Filter>& filter, const KSPIN_CONNECT& connect,
                    const KSDATAFORMAT* format, ULONG formatSize, const std::shared_ptr<Pin>& peer,
                    std::shared_ptr<Pin>& out);
NTSTATUS setPinState(const std::shared_ptr<Pin>& pin, KSSTATE state);
// Queues an application's read request on a request-driven pin (STATUS_PENDING), or refuses it.
NTSTATUS queueRead(const std::shared_ptr<Pin>& pin, const std::shared_ptr<ReadRequest>& request);
// Completes a queued request the driver has not started on as cancelled; false when there is none such.
bool cancelRead(const std::shared_ptr<Pin>& pin, const ReadRequest* request);
NTSTATUS closePin(const std::shared_ptr<Pin>& pin);
NTSTATUS readFrame(const std::shared_ptr<Pin>& pin, std::vector<UCHAR>& out,
                   std::chrono::milliseconds timeout);

// Data path hooks used by the pin state machine (ks_stream.cpp).
void streamStart(Pin& pin);      // STOP -> ACQUIRE: frames circulate
void streamStop(Pin& pin);       // -> STOP: frames not yet completed are reclaimed
void streamClose(Pin& pin);      // the pin goes away
void bdaForget(Filter& filter);  // the filter goes away

// Reports a misuse of the framework by the driver through the assertion path.
void misuse(const char* what, const char* file, int line);
#define KS_MISUSE(what) ::host::ks::detail::misuse((what), __FILE__, __LINE__)

inline bool sameGuid(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }

}  // namespace host::ks::detail
