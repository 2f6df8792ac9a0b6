// The BDA support library on the host: factories from templates, per-filter topology and the change-state
// bookkeeping of start/check/commit, topology creation by pin pairing and node-property validation.
#include <algorithm>
#include <mutex>

#include "platform/host/ks/ks_internal.h"

namespace host::ks::detail {

namespace {

const BDA_PIN_PAIRING* pairingOf(const BDA_FILTER_TEMPLATE* t, ULONG in, ULONG out) {
  if (!t || !t->pPinPairs) return nullptr;
  for (ULONG i = 0; i < t->ulcPinPairs; ++i)
    if (t->pPinPairs[i].ulInputPin == in && t->pPinPairs[i].ulOutputPin == out) return &t->pPinPairs[i];
  return nullptr;
}

// The filter a BDA call is about, with its control lock held by the caller's request already (recursive).
Filter* bdaFilter(PIRP irp) { return filterFromIrp(irp); }

bool isJoint(const BDA_FILTER_TEMPLATE* t, ULONG connection) {
  for (ULONG i = 0; i < t->ulcPinPairs; ++i)
    for (ULONG j = 0; j < t->pPinPairs[i].ulcTopologyJoints; ++j)
      if (t->pPinPairs[i].pTopologyJoints[j] == connection) return true;
  return false;
}

// Whether the template's topology puts the node on the pin's side of its joints: an input pin controls the
// nodes its connections reach before the first joint, an output pin those it is reached from after the last.
bool pinControlsNode(const BDA_FILTER_TEMPLATE* t, ULONG pinId, ULONG nodeId) {
  const KSFILTER_DESCRIPTOR* d = t->pFilterDescriptor;
  if (pinId >= d->PinDescriptorsCount || !d->PinDescriptors) return false;
  auto* pin = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(reinterpret_cast<const UCHAR*>(d->PinDescriptors) +
                                                           size_t(pinId) * d->PinDescriptorSize);
  const bool input = pin->PinDescriptor.DataFlow == KSPIN_DATAFLOW_IN;
  // Walk from the pin, one node at a time; connections are few, and a cycle ends at the step bound.
  std::vector<ULONG> frontier = {KSFILTER_NODE};
  for (ULONG step = 0; step <= d->ConnectionsCount && !frontier.empty(); ++step) {
    std::vector<ULONG> next;
    for (ULONG from : frontier)
      for (ULONG c = 0; c < d->ConnectionsCount; ++c) {
        const KSTOPOLOGY_CONNECTION& k = d->Connections[c];
        const ULONG near = input ? k.FromNode : k.ToNode, far = input ? k.ToNode : k.FromNode;
        const ULONG nearPin = input ? k.FromNodePin : k.ToNodePin;
        if (near != from || (from == KSFILTER_NODE && nearPin != pinId) || far == KSFILTER_NODE ||
            isJoint(t, c))
          continue;
        if (far == nodeId) return true;
        next.push_back(far);
      }
    frontier = std::move(next);
  }
  return false;
}

NTSTATUS addJoint(Filter& f, ULONG in, ULONG out) {
  if (!f.bda.initialised) return STATUS_INVALID_DEVICE_STATE;
  if (!pairingOf(f.bda.tmpl, in, out)) return STATUS_NOT_FOUND;
  auto joint = std::make_pair(in, out);
  auto& c = f.bda.committed;
  auto& p = f.bda.pending;
  if (std::find(c.begin(), c.end(), joint) != c.end() || std::find(p.begin(), p.end(), joint) != p.end())
    return STATUS_SUCCESS;
  // Inside a change transaction the joint waits for the commit; outside it takes effect at once.
  (f.bda.inTransaction ? p : c).push_back(joint);
  return STATUS_SUCCESS;
}

}  // namespace

void bdaForget(Filter& filter) { filter.bda = BdaState{}; }

}  // namespace host::ks::detail

std::vector<std::pair<ULONG, ULONG>> host::ks::bdaTopology(PKSFILTER filter) {
  auto* f = reinterpret_cast<host::ks::detail::Filter*>(filter);
  if (!f) return {};
  std::lock_guard<host::ks::detail::ControlMutex> c(f->control);
  return f->bda.committed;
}

using namespace host::ks::detail;

extern "C" {

NTSTATUS BdaCreateFilterFactoryEx(PKSDEVICE pKSDevice, const KSFILTER_DESCRIPTOR* pInitialFilterDescriptor,
                                  const BDA_FILTER_TEMPLATE* pBdaFilterTemplate,
                                  PKSFILTERFACTORY* ppKSFilterFactory) {
  if (!pKSDevice || !pInitialFilterDescriptor || !pBdaFilterTemplate) return STATUS_INVALID_PARAMETER;
  PKSFILTERFACTORY factory = nullptr;
  NTSTATUS status =
      KsCreateFilterFactory(pKSDevice->FunctionalDeviceObject, pInitialFilterDescriptor, nullptr, nullptr,
                            KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, &factory);
  if (!NT_SUCCESS(status)) return status;
  {
    std::lock_guard<std::mutex> g(globalLock());
    reinterpret_cast<Factory*>(factory)->bdaTemplate = pBdaFilterTemplate;
  }
  if (ppKSFilterFactory) *ppKSFilterFactory = factory;
  return STATUS_SUCCESS;
}

NTSTATUS BdaCreateFilterFactory(PKSDEVICE pKSDevice, const KSFILTER_DESCRIPTOR* pInitialFilterDescriptor,
                                const BDA_FILTER_TEMPLATE* pBdaFilterTemplate) {
  return BdaCreateFilterFactoryEx(pKSDevice, pInitialFilterDescriptor, pBdaFilterTemplate, nullptr);
}

NTSTATUS BdaFilterFactoryUpdateCacheData(PKSFILTERFACTORY pFilterFactory,
                                         const KSFILTER_DESCRIPTOR* pFilterDescriptor) {
  return KsFilterFactoryUpdateCacheData(pFilterFactory, pFilterDescriptor);
}

NTSTATUS BdaInitFilter(PKSFILTER pKSFilter, const BDA_FILTER_TEMPLATE* pBdaFilterTemplate) {
  if (KeGetCurrentIrql() > APC_LEVEL) KS_MISUSE("BdaInitFilter above APC_LEVEL");
  auto* f = reinterpret_cast<Filter*>(pKSFilter);
  if (!f) return STATUS_INVALID_PARAMETER;
  std::lock_guard<ControlMutex> c(f->control);
  const BDA_FILTER_TEMPLATE* t = pBdaFilterTemplate;
  if (!t && f->factory) t = f->factory->bdaTemplate;
  if (!t || !t->pFilterDescriptor) return STATUS_INVALID_PARAMETER;
  f->bda = BdaState{};
  f->bda.initialised = true;
  f->bda.tmpl = t;
  return STATUS_SUCCESS;
}

NTSTATUS BdaUninitFilter(PKSFILTER pKSFilter) {
  auto* f = reinterpret_cast<Filter*>(pKSFilter);
  if (!f) return STATUS_INVALID_PARAMETER;
  std::lock_guard<ControlMutex> c(f->control);
  bdaForget(*f);
  return STATUS_SUCCESS;
}

NTSTATUS BdaStartChanges(PIRP pIrp) {
  Filter* f = bdaFilter(pIrp);
  if (!f) return STATUS_INVALID_PARAMETER;
  std::lock_guard<ControlMutex> c(f->control);
  if (!f->bda.initialised) return STATUS_INVALID_DEVICE_STATE;
  f->bda.pending.clear();  // a new transaction discards what the last one left uncommitted
  f->bda.inTransaction = true;
  return STATUS_SUCCESS;
}

NTSTATUS BdaCheckChanges(PIRP pIrp) {
  Filter* f = bdaFilter(pIrp);
  if (!f) return STATUS_INVALID_PARAMETER;
  std::lock_guard<ControlMutex> c(f->control);
  if (!f->bda.initialised) return STATUS_INVALID_DEVICE_STATE;
  for (auto& j : f->bda.pending)
    if (!pairingOf(f->bda.tmpl, j.first, j.second)) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

NTSTATUS BdaCommitChanges(PIRP pIrp) {
  Filter* f = bdaFilter(pIrp);
  if (!f) return STATUS_INVALID_PARAMETER;
  std::lock_guard<ControlMutex> c(f->control);
  if (!f->bda.initialised) return STATUS_INVALID_DEVICE_STATE;
  for (auto& j : f->bda.pending)
    if (std::find(f->bda.committed.begin(), f->bda.committed.end(), j) == f->bda.committed.end())
      f->bda.committed.push_back(j);
  f->bda.pending.clear();
  f->bda.inTransaction = false;
  return STATUS_SUCCESS;
}

NTSTATUS BdaGetChangeState(PIRP pIrp, PBDA_CHANGE_STATE pChangeState) {
  Filter* f = bdaFilter(pIrp);
  if (!f || !pChangeState) return STATUS_INVALID_PARAMETER;
  std::lock_guard<ControlMutex> c(f->control);
  if (!f->bda.initialised) return STATUS_INVALID_DEVICE_STATE;
  *pChangeState = f->bda.pending.empty() ? BDA_CHANGES_COMPLETE : BDA_CHANGES_PENDING;
  return STATUS_SUCCESS;
}

NTSTATUS BdaMethodCreateTopology(PIRP pIrp, PKSMETHOD pKSMethod, PVOID pvIgnored) {
  UNREFERENCED_PARAMETER(pvIgnored);
  Filter* f = bdaFilter(pIrp);
  if (!f || !pKSMethod) return STATUS_INVALID_PARAMETER;
  if (pIrp->Tail.Overlay.CurrentStackLocation->Parameters.DeviceIoControl.InputBufferLength <
      sizeof(KSM_BDA_PIN_PAIR))
    return STATUS_INVALID_PARAMETER;
  auto* pair = reinterpret_cast<PKSM_BDA_PIN_PAIR>(pKSMethod);
  std::lock_guard<ControlMutex> c(f->control);
  return addJoint(*f, pair->InputPinId, pair->OutputPinId);
}

NTSTATUS BdaCreateTopology(PKSFILTER pKSFilter, ULONG InputPinId, ULONG OutputPinId) {
  auto* f = reinterpret_cast<Filter*>(pKSFilter);
  if (!f) return STATUS_INVALID_PARAMETER;
  std::lock_guard<ControlMutex> c(f->control);
  return addJoint(*f, InputPinId, OutputPinId);
}

NTSTATUS BdaCreatePin(PKSFILTER pKSFilter, ULONG ulPinType, PULONG pulPinId) {
  auto* f = reinterpret_cast<Filter*>(pKSFilter);
  if (!f || !pulPinId) return STATUS_INVALID_PARAMETER;
  std::lock_guard<ControlMutex> c(f->control);
  if (!f->bda.initialised) return STATUS_INVALID_DEVICE_STATE;
  // Pin types are the template's pin descriptors; each has its factory on the filter already.
  if (ulPinType >= f->bda.tmpl->pFilterDescriptor->PinDescriptorsCount) return STATUS_INVALID_PARAMETER;
  *pulPinId = ulPinType;
  return STATUS_SUCCESS;
}

NTSTATUS BdaMethodCreatePin(PIRP pIrp, PKSMETHOD pKSMethod, PULONG pulPinFactoryID) {
  Filter* f = bdaFilter(pIrp);
  if (!f || !pKSMethod || !pulPinFactoryID) return STATUS_INVALID_PARAMETER;
  if (pIrp->Tail.Overlay.CurrentStackLocation->Parameters.DeviceIoControl.InputBufferLength <
      sizeof(KSM_BDA_PIN))
    return STATUS_INVALID_PARAMETER;
  return BdaCreatePin(&f->ks, reinterpret_cast<PKSM_BDA_PIN>(pKSMethod)->PinType, pulPinFactoryID);
}

NTSTATUS BdaValidateNodeProperty(PIRP pIrp, PKSPROPERTY pKSProperty) {
  Filter* f = bdaFilter(pIrp);
  if (!f || !pKSProperty) return STATUS_INVALID_PARAMETER;
  std::lock_guard<ControlMutex> c(f->control);
  if (!f->bda.initialised) return STATUS_INVALID_DEVICE_STATE;
  if (!(pKSProperty->Flags & KSPROPERTY_TYPE_TOPOLOGY) ||
      pIrp->Tail.Overlay.CurrentStackLocation->Parameters.DeviceIoControl.InputBufferLength <
          sizeof(KSP_NODE))
    return STATUS_INVALID_PARAMETER;
  ULONG nodeId = reinterpret_cast<PKSP_NODE>(pKSProperty)->NodeId;
  if (nodeId >= f->bda.tmpl->pFilterDescriptor->NodeDescriptorsCount) return STATUS_NOT_FOUND;
  // Through a pin, only a node of that pin's side of the topology; a filter handle is tied to no pin.
  PKSPIN pin = KsGetPinFromIrp(pIrp);
  if (pin && !pinControlsNode(f->bda.tmpl, pin->Id, nodeId)) return STATUS_INVALID_DEVICE_REQUEST;
  return STATUS_SUCCESS;
}

}  // extern "C"
