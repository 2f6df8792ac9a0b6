// Filter and pin handles of the application side; every call goes through the emulated framework exactly as a
// request from user mode would (IRPs, automation tables, minimum sizes).
#include "platform/host/client/client.h"

#include <cstring>

#include "platform/host/ks/ks_internal.h"

namespace host::client {

namespace kd = host::ks::detail;

std::vector<FilterInfo> enumerate(const GUID& category, PDRIVER_OBJECT machine) {
  return host::ks::registered(category, machine);
}

// ---- Requests
// ---------------------------------------------------------------------------------------------------

Result Handle::property(const void* request, ULONG requestSize, void* data, ULONG dataSize) {
  Result r;
  kd::Filter* f = filterObject();
  if (!f) return {STATUS_DEVICE_NOT_CONNECTED, 0};
  r.status = kd::request(f, pinObject(), IOCTL_KS_PROPERTY, request, requestSize, data, dataSize, &r.bytes);
  return r;
}

Result Handle::method(const void* request, ULONG requestSize, void* data, ULONG dataSize) {
  Result r;
  kd::Filter* f = filterObject();
  if (!f) return {STATUS_DEVICE_NOT_CONNECTED, 0};
  r.status = kd::request(f, pinObject(), IOCTL_KS_METHOD, request, requestSize, data, dataSize, &r.bytes);
  return r;
}

Result Handle::getProperty(const GUID& set, ULONG id, void* data, ULONG dataSize) {
  KSPROPERTY p{};
  p.Set = set;
  p.Id = id;
  p.Flags = KSPROPERTY_TYPE_GET;
  return property(&p, sizeof(p), data, dataSize);
}

Result Handle::setProperty(const GUID& set, ULONG id, const void* data, ULONG dataSize) {
  KSPROPERTY p{};
  p.Set = set;
  p.Id = id;
  p.Flags = KSPROPERTY_TYPE_SET;
  std::vector<UCHAR> copy(static_cast<const UCHAR*>(data),
                          static_cast<const UCHAR*>(data) + (data ? dataSize : 0));
  return property(&p, sizeof(p), copy.empty() ? nullptr : copy.data(), ULONG(copy.size()));
}

Result Handle::getNodeProperty(ULONG nodeId, const GUID& set, ULONG id, void* data, ULONG dataSize) {
  KSP_NODE p{};
  p.Property.Set = set;
  p.Property.Id = id;
  p.Property.Flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY;
  p.NodeId = nodeId;
  return property(&p, sizeof(p), data, dataSize);
}

Result Handle::setNodeProperty(ULONG nodeId, const GUID& set, ULONG id, const void* data, ULONG dataSize) {
  KSP_NODE p{};
  p.Property.Set = set;
  p.Property.Id = id;
  p.Property.Flags = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY;
  p.NodeId = nodeId;
  std::vector<UCHAR> copy(static_cast<const UCHAR*>(data),
                          static_cast<const UCHAR*>(data) + (data ? dataSize : 0));
  return property(&p, sizeof(p), copy.empty() ? nullptr : copy.data(), ULONG(copy.size()));
}

Result Handle::callMethod(const GUID& set, ULONG id, void* data, ULONG dataSize) {
  KSMETHOD m{};
  m.Set = set;
  m.Id = id;
  m.Flags = KSMETHOD_TYPE_SEND;
  return method(&m, sizeof(m), data, dataSize);
}

// ---- Filter
// -----------------------------------------------------------------------------------------------------

NTSTATUS Filter::open(const FilterInfo& info, std::unique_ptr<Filter>& out) {
  std::shared_ptr<kd::Filter> f;
  NTSTATUS status = kd::openFilter(info.id, f);
  if (!NT_SUCCESS(status)) return status;
  out.reset(new Filter);
  out->info_ = info;
  out->f_ = std::move(f);
  return status;
}

Filter::~Filter() { close(); }

NTSTATUS Filter::close() {
  if (!f_) return STATUS_DEVICE_NOT_CONNECTED;
  NTSTATUS status = kd::closeFilter(f_);
  f_.reset();
  return status;
}

NTSTATUS Filter::createPin(ULONG pinId, const KSDATARANGE* range, ULONG rangeSize,
                           std::unique_ptr<Pin>& out) {
  if (!f_) return STATUS_DEVICE_NOT_CONNECTED;
  std::shared_ptr<kd::Pin> p;
  NTSTATUS status = kd::createPin(f_, pinId, range, rangeSize, p);
  if (!NT_SUCCESS(status)) return status;
  out.reset(new Pin);
  out->p_ = std::move(p);
  return status;
}

NTSTATUS Filter::intersect(ULONG pinId, const KSDATARANGE* range, ULONG rangeSize,
                           std::vector<UCHAR>& format) {
  if (!f_) return STATUS_DEVICE_NOT_CONNECTED;
  std::lock_guard<kd::ControlMutex> c(f_->control);
  if (f_->closed) return STATUS_DEVICE_NOT_CONNECTED;
  return kd::intersect(f_.get(), pinId, range, rangeSize, format);
}

PKSFILTER Filter::ksFilter() const { return f_ ? &f_->ks : nullptr; }
kd::Filter* Filter::filterObject() const { return f_.get(); }

// ---- Pin
// --------------------------------------------------------------------------------------------------------

Pin::~Pin() { close(); }

NTSTATUS Pin::close() {
  if (!p_) return STATUS_DEVICE_NOT_CONNECTED;
  NTSTATUS status = p_->closed ? STATUS_SUCCESS : kd::closePin(p_);
  p_.reset();
  return status;
}

NTSTATUS Pin::setState(KSSTATE state) {
  return p_ ? kd::setPinState(p_, state) : STATUS_DEVICE_NOT_CONNECTED;
}

KSSTATE Pin::state() const { return p_ ? p_->ks.DeviceState : KSSTATE_STOP; }

NTSTATUS Pin::readFrame(std::vector<UCHAR>& frame, std::chrono::milliseconds timeout) {
  return p_ ? kd::readFrame(p_, frame, timeout) : STATUS_DEVICE_NOT_CONNECTED;
}

const KSDATAFORMAT& Pin::format() const { return *reinterpret_cast<const KSDATAFORMAT*>(p_->format.data()); }
PKSPIN Pin::ksPin() const { return p_ ? &p_->ks : nullptr; }
kd::Filter* Pin::filterObject() const { return p_ && !p_->closed ? p_->filter : nullptr; }
kd::Pin* Pin::pinObject() const { return p_.get(); }

}  // namespace host::client
