// The data path of a pin: an allocator of framed buffers, the leading-edge and clone stream pointers the
// driver fills frames through, and the in-order hand-over of completed frames to the client. Stream-pointer
// calls are legal up to DISPATCH_LEVEL (the driver fills frames from its DPCs).
#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/host/clock.h"
#include "platform/host/ks/ks_internal.h"
#include "platform/host/kstack.h"

namespace host::ks::detail {

namespace {

constexpr ULONG kDefaultFrames = 64;

void requireDispatch(const char* what) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) KS_MISUSE(what);
}

// Sizes of the pin's allocator from its framing: frame count and the framed size.
bool framing(const Pin& p, ULONG& frames, ULONG& size) {
  const KSALLOCATOR_FRAMING_EX* f = p.ks.Descriptor->AllocatorFraming;
  if (!f || !f->CountItems) return false;
  const KS_FRAMING_ITEM& item = f->FramingItem[0];
  frames = item.Frames ? item.Frames : kDefaultFrames;
  size = item.FramingRange.Range.MaxFrameSize;
  return size != 0;
}

void resetFrame(Frame* f) {
  f->header = KSSTREAM_HEADER{};
  f->header.Size = sizeof(KSSTREAM_HEADER);
  f->header.Data = f->bytes();
  f->header.FrameExtent = f->size();
  f->refs = 0;
}

// Completes a read request: on success the caller's headers get what each frame holds. data lock held.
void finish(Pin& p, ReadRequest* r, NTSTATUS status) {
  if (NT_SUCCESS(status))
    for (size_t i = 0; i < r->frames.size(); ++i) r->headers[i].DataUsed = r->frames[i]->header.DataUsed;
  r->status = status;
  auto done = std::move(r->done);
  // The queue's entry may hold the last reference to the request.
  std::shared_ptr<ReadRequest> keep;
  for (auto it = p.requests.begin(); it != p.requests.end(); ++it)
    if (it->get() == r) {
      keep = *it;
      p.requests.erase(it);
      break;
    }
  if (done) done(status, ULONG(r->frames.size() * sizeof(KSSTREAM_HEADER)));
}

// Every queued request as cancelled: the pin stops or goes. data lock held.
void cancelAll(Pin& p) {
  while (!p.requests.empty()) finish(p, p.requests.front().get(), STATUS_CANCELLED);
}

// Hands a frame back to the pin (or keeps it idle while the pin is stopped). data lock held.
void recycle(Pin& p, Frame* f) {
  resetFrame(f);
  if (p.streaming) p.queue.push_back(f);
}

// Completes passed frames that nothing holds any more, oldest first, so the client sees them in order.
void deliverReady(Pin& p) {
  bool any = false;
  while (p.edge > 0 && !p.queue.empty() && p.queue.front()->refs == 0) {
    Frame* f = p.queue.front();
    p.queue.pop_front();
    --p.edge;
    if (f->request) {
      if (--f->request->pending == 0) finish(p, f->request, STATUS_SUCCESS);
    } else if (f->header.DataUsed > 0) {
      p.delivered.push_back(f);
      any = true;
    } else {
      recycle(p, f);  // an empty frame carries nothing for the client
    }
  }
  if (any) p.delivered_cv.notify_all();
}

void passLeadingFrame(Pin& p) {
  if (p.edge < p.queue.size()) ++p.edge;
  p.leadingHandedOut = false;
  deliverReady(p);
}

Clone* cloneOf(Pin& p, PKSSTREAM_POINTER sp) {
  for (auto& c : p.clones)
    if (&c->sp == sp) return c.get();
  return nullptr;
}

struct HostClock final : IKsReferenceClock {
  std::atomic<ULONG> refs{0};
  NTSTATUS NTAPI QueryInterface(REFIID, PVOID* out) override {
    if (out) *out = nullptr;
    return STATUS_NOT_SUPPORTED;
  }
  ULONG NTAPI AddRef() override { return ++refs; }
  ULONG NTAPI Release() override {
    ULONG before = refs.load();
    if (before == 0) {
      KS_MISUSE("reference clock released more often than obtained");
      return 0;
    }
    return --refs;
  }
  // 100-ns units of the platform clock.
  LONGLONG NTAPI GetTime() override { return host::clock::nowNs() / 100; }
  LONGLONG NTAPI GetPhysicalTime() override { return GetTime(); }
  LONGLONG NTAPI GetCorrelatedTime(PLONGLONG system) override {
    LONGLONG t = GetTime();
    if (system) *system = LONGLONG(KeQueryInterruptTime());
    return t;
  }
  LONGLONG NTAPI GetCorrelatedPhysicalTime(PLONGLONG system) override { return GetCorrelatedTime(system); }
  NTSTATUS NTAPI GetResolution(PKSRESOLUTION r) override {
    if (!r) return STATUS_INVALID_PARAMETER;
    r->Granularity = 1;
    r->Error = 0;
    return STATUS_SUCCESS;
  }
  NTSTATUS NTAPI GetState(PKSSTATE s) override {
    if (!s) return STATUS_INVALID_PARAMETER;
    *s = KSSTATE_RUN;
    return STATUS_SUCCESS;
  }
};

HostClock& hostClock() {
  static HostClock* c = new HostClock;
  return *c;
}

}  // namespace

void streamStart(Pin& p) {
  std::lock_guard<std::mutex> g(p.data);
  if (p.requestDriven) {
    // The application's read requests are the frames; they come once the pin has left STOP.
    p.streaming = true;
    p.queue.clear();
    p.edge = 0;
    return;
  }
  ULONG count = 0, size = 0;
  if (!framing(p, count, size)) return;
  if (p.frames.empty()) {
    for (ULONG i = 0; i < count; ++i) {
      auto f = std::make_unique<Frame>();
      f->data.resize(size);
      p.frames.push_back(std::move(f));
    }
  }
  p.streaming = true;
  p.queue.clear();
  p.edge = 0;
  // A new run starts empty: completed frames of the last run that the client never read go with it (read
  // after the stop, they are still the client's). A frame being read comes back when its reader is done.
  p.delivered.clear();
  for (auto& f : p.frames)
    if (!f->reading) {
      resetFrame(f.get());
      p.queue.push_back(f.get());
    }
}

void streamStop(Pin& p) {
  std::lock_guard<std::mutex> g(p.data);
  // Clones the driver did not delete are dropped: their frames are cancelled, not delivered.
  for (auto& c : p.clones)
    if (c->cancel) kstack::call(c->cancel, &c->sp);
  p.clones.clear();
  p.streaming = false;
  p.queue.clear();
  p.edge = 0;
  p.leadingHandedOut = false;
  cancelAll(p);
}

void streamClose(Pin& p) {
  std::lock_guard<std::mutex> g(p.data);
  p.dataClosed = true;
  p.streaming = false;
  p.clones.clear();
  p.queue.clear();
  p.delivered.clear();
  p.edge = 0;
  p.leadingHandedOut = false;
  cancelAll(p);
  p.delivered_cv.notify_all();
  // Frame memory stays until the pin object goes: a late DPC may still hold a pointer into it.
}

NTSTATUS readFrame(const std::shared_ptr<Pin>& pin, std::vector<UCHAR>& out,
                   std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> g(pin->data);
  if (!pin->delivered_cv.wait_for(g, timeout, [&] { return pin->dataClosed || !pin->delivered.empty(); }))
    return STATUS_TIMEOUT;
  if (pin->delivered.empty()) return STATUS_DEVICE_NOT_CONNECTED;
  Frame* f = pin->delivered.front();
  pin->delivered.pop_front();
  // Copied out without the lock, so that a DPC handing over the next frame never waits for a reader that
  // other threads keep off the processor. The frame is out of circulation meanwhile.
  f->reading = true;
  const size_t used = std::min<size_t>(f->header.DataUsed, f->size());
  g.unlock();
  out.assign(f->data.begin(), f->data.begin() + static_cast<std::ptrdiff_t>(used));
  g.lock();
  f->reading = false;
  recycle(*pin, f);
  return STATUS_SUCCESS;
}

NTSTATUS queueRead(const std::shared_ptr<Pin>& pin, const std::shared_ptr<ReadRequest>& request) {
  std::lock_guard<std::mutex> g(pin->data);
  if (pin->dataClosed) return STATUS_DEVICE_NOT_CONNECTED;
  if (!pin->requestDriven) return STATUS_INVALID_DEVICE_REQUEST;
  if (!pin->streaming) return STATUS_INVALID_DEVICE_STATE;
  if (request->frames.empty()) return STATUS_INVALID_PARAMETER;
  request->pending = ULONG(request->frames.size());
  for (auto& f : request->frames) {
    f->request = request.get();
    resetFrame(f.get());
    pin->queue.push_back(f.get());
  }
  pin->requests.push_back(request);
  return STATUS_PENDING;
}

bool cancelRead(const std::shared_ptr<Pin>& pin, const ReadRequest* request) {
  std::lock_guard<std::mutex> g(pin->data);
  // Only a request the driver has not touched: a frame it fills completes as usual.
  std::vector<size_t> at;
  for (size_t i = 0; i < pin->queue.size(); ++i) {
    Frame* f = pin->queue[i];
    if (f->request != request) continue;
    bool touched =
        i < pin->edge || f->refs > 0 || f->header.DataUsed > 0 || (i == pin->edge && pin->leadingHandedOut);
    if (touched) return false;
    at.push_back(i);
  }
  if (at.empty()) return false;
  for (auto it = at.rbegin(); it != at.rend(); ++it)
    pin->queue.erase(pin->queue.begin() + static_cast<std::ptrdiff_t>(*it));
  finish(*pin, const_cast<ReadRequest*>(request), STATUS_CANCELLED);
  return true;
}

}  // namespace host::ks::detail

// ---- Inspection
// -------------------------------------------------------------------------------------------------

size_t host::ks::outstandingClockReferences() { return host::ks::detail::hostClock().refs.load(); }

// ---- Framework functions
// ----------------------------------------------------------------------------------------

using namespace host::ks::detail;

extern "C" {

NTSTATUS KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface) {
  if (!Pin || !Interface) return STATUS_INVALID_PARAMETER;
  HostClock& c = hostClock();
  c.AddRef();
  *Interface = &c;
  return STATUS_SUCCESS;
}

PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State) {
  requireDispatch("KsPinGetLeadingEdgeStreamPointer above DISPATCH_LEVEL");
  auto p = pinOf(Pin);
  if (!p) return nullptr;
  std::lock_guard<std::mutex> g(p->data);
  if (!p->streaming || p->edge >= p->queue.size()) {
    // Nowhere to put data: no read request queued.
    if (p->streaming && p->requestDriven) ++p->starvedCalls;
    return nullptr;
  }
  Frame* f = p->queue[p->edge];
  KSSTREAM_POINTER& sp = p->leading;
  sp.Pin = Pin;
  sp.StreamHeader = &f->header;
  ULONG used = std::min<ULONG>(f->header.DataUsed, f->size());
  sp.OffsetIn = KSSTREAM_POINTER_OFFSET{};
  sp.OffsetOut.Data = f->bytes() + used;
  sp.OffsetOut.Count = f->size() - used;
  sp.OffsetOut.Remaining = sp.OffsetOut.Count;
  sp.Offset = Pin->DataFlow == KSPIN_DATAFLOW_IN ? &sp.OffsetIn : &sp.OffsetOut;
  p->leadingHandedOut = State == KSSTREAM_POINTER_STATE_LOCKED;
  return &sp;
}

VOID KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER StreamPointer, ULONG InUsed, ULONG OutUsed,
                                            BOOLEAN Eject) {
  requireDispatch("KsStreamPointerAdvanceOffsetsAndUnlock above DISPATCH_LEVEL");
  if (!StreamPointer) {
    KS_MISUSE("null stream pointer advanced");
    return;
  }
  auto p = pinOf(StreamPointer->Pin);
  if (!p) return;
  std::lock_guard<std::mutex> g(p->data);
  KSSTREAM_POINTER_OFFSET& o = StreamPointer->OffsetOut;
  Frame* frame = nullptr;
  if (StreamPointer != &p->leading) {
    Clone* c = cloneOf(*p, StreamPointer);
    if (!c) {
      KS_MISUSE("advanced a stream pointer the pin does not know");
      return;
    }
    frame = c->frame;
  } else {
    // A leading edge taken before the pin was stopped no longer points at a live frame.
    if (!p->leadingHandedOut || !p->streaming || p->edge >= p->queue.size()) return;
    frame = p->queue[p->edge];
  }
  if (OutUsed > o.Remaining || InUsed > StreamPointer->OffsetIn.Remaining) {
    KS_MISUSE("stream pointer advanced beyond its frame");
    return;
  }
  o.Data += OutUsed;
  o.Remaining -= OutUsed;
  o.Count -= OutUsed;
  frame->header.DataUsed += OutUsed;
  if (StreamPointer != &p->leading) return;
  if (o.Remaining == 0 || Eject)
    passLeadingFrame(*p);
  else
    p->leadingHandedOut = false;
}

VOID KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject) {
  requireDispatch("KsStreamPointerUnlock above DISPATCH_LEVEL");
  if (!StreamPointer) return;
  auto p = pinOf(StreamPointer->Pin);
  if (!p) return;
  std::lock_guard<std::mutex> g(p->data);
  if (StreamPointer != &p->leading) return;
  if (Eject && p->leadingHandedOut && p->streaming)
    passLeadingFrame(*p);
  else
    p->leadingHandedOut = false;
}

NTSTATUS KsStreamPointerClone(PKSSTREAM_POINTER StreamPointer, PFNKSSTREAMPOINTER CancelCallback,
                              ULONG ContextSize, PKSSTREAM_POINTER* CloneStreamPointer) {
  requireDispatch("KsStreamPointerClone above DISPATCH_LEVEL");
  if (!StreamPointer || !CloneStreamPointer) return STATUS_INVALID_PARAMETER;
  auto p = pinOf(StreamPointer->Pin);
  if (!p) return STATUS_DEVICE_NOT_CONNECTED;
  std::lock_guard<std::mutex> g(p->data);
  Frame* frame = nullptr;
  if (StreamPointer == &p->leading) {
    if (!p->streaming || p->edge >= p->queue.size()) return STATUS_INVALID_DEVICE_STATE;
    frame = p->queue[p->edge];
  } else if (Clone* c = cloneOf(*p, StreamPointer)) {
    frame = c->frame;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  auto c = std::make_unique<Clone>();
  c->sp = *StreamPointer;
  c->frame = frame;
  c->cancel = CancelCallback;
  c->context.resize(ContextSize);
  c->sp.Context = ContextSize ? c->context.data() : nullptr;
  c->sp.Offset = c->sp.Pin->DataFlow == KSPIN_DATAFLOW_IN ? &c->sp.OffsetIn : &c->sp.OffsetOut;
  ++frame->refs;
  *CloneStreamPointer = &c->sp;
  p->clones.push_back(std::move(c));
  return STATUS_SUCCESS;
}

PKSSTREAM_POINTER KsPinGetFirstCloneStreamPointer(PKSPIN Pin) {
  requireDispatch("KsPinGetFirstCloneStreamPointer above DISPATCH_LEVEL");
  auto p = pinOf(Pin);
  if (!p) return nullptr;
  std::lock_guard<std::mutex> g(p->data);
  return p->clones.empty() ? nullptr : &p->clones.front()->sp;
}

PKSSTREAM_POINTER KsStreamPointerGetNextClone(PKSSTREAM_POINTER StreamPointer) {
  requireDispatch("KsStreamPointerGetNextClone above DISPATCH_LEVEL");
  if (!StreamPointer) return nullptr;
  auto p = pinOf(StreamPointer->Pin);
  if (!p) return nullptr;
  std::lock_guard<std::mutex> g(p->data);
  for (auto it = p->clones.begin(); it != p->clones.end(); ++it)
    if (&(*it)->sp == StreamPointer) {
      ++it;
      return it == p->clones.end() ? nullptr : &(*it)->sp;
    }
  return nullptr;
}

VOID KsStreamPointerDelete(PKSSTREAM_POINTER StreamPointer) {
  requireDispatch("KsStreamPointerDelete above DISPATCH_LEVEL");
  if (!StreamPointer) return;
  auto p = pinOf(StreamPointer->Pin);
  if (!p) return;
  std::lock_guard<std::mutex> g(p->data);
  if (StreamPointer == &p->leading) {
    KS_MISUSE("the leading edge cannot be deleted");
    return;
  }
  for (auto it = p->clones.begin(); it != p->clones.end(); ++it)
    if (&(*it)->sp == StreamPointer) {
      Frame* f = (*it)->frame;
      p->clones.erase(it);
      if (f->refs > 0) --f->refs;
      deliverReady(*p);
      return;
    }
  KS_MISUSE("KsStreamPointerDelete of an unknown stream pointer");
}

}  // extern "C"
