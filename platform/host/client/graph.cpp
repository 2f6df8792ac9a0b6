// Graph building as a BDA graph builder does it: the tuner filter's transport (output) pin and the capture
// filter's input pin are joined when their mediums are equal (set GUID and instance id, the board id).
#include <cstring>

#include "platform/host/client/client.h"

namespace host::client {

namespace {

bool sameMedium(const KSPIN_MEDIUM& a, const KSPIN_MEDIUM& b) {
  return IsEqualGUID(a.Set, b.Set) && a.Id == b.Id;
}

bool isRealMedium(const KSPIN_MEDIUM& m) {
  return !IsEqualGUID(m.Set, GUID_NULL) && !IsEqualGUID(m.Set, KSMEDIUMSETID_Standard);
}

// The medium of the filter's first output (or input) pin that carries a real one.
bool mediumOf(const FilterInfo& info, KSPIN_DATAFLOW flow, KSPIN_MEDIUM& medium, ULONG& pinId) {
  for (ULONG i = 0; i < info.pins.size(); ++i) {
    if (info.pins[i].dataFlow != flow) continue;
    for (auto& m : info.pins[i].mediums)
      if (isRealMedium(m)) {
        medium = m;
        pinId = i;
        return true;
      }
  }
  return false;
}

}  // namespace

const FilterInfo* findCaptureFor(const KSPIN_MEDIUM& medium, const std::vector<FilterInfo>& captures) {
  for (auto& c : captures) {
    if (!c.openable) continue;
    for (auto& pin : c.pins) {
      if (pin.dataFlow != KSPIN_DATAFLOW_IN) continue;
      for (auto& m : pin.mediums)
        if (sameMedium(m, medium)) return &c;
    }
  }
  return nullptr;
}

void Graph::close() {
  for (auto* p : {&output, &input, &transport, &antenna})
    if (*p) {
      (*p)->close();
      p->reset();
    }
  if (capture) capture->close();
  capture.reset();
  if (tuner) tuner->close();
  tuner.reset();
}

NTSTATUS buildGraph(const FilterInfo& tuner, Graph& graph) {
  graph.close();
  KSPIN_MEDIUM medium{};
  ULONG transportId = 0;
  if (!mediumOf(tuner, KSPIN_DATAFLOW_OUT, medium, transportId)) return STATUS_NOT_FOUND;
  auto captures = enumerate(KSCATEGORY_BDA_RECEIVER_COMPONENT, tuner.machine);
  const FilterInfo* capture = findCaptureFor(medium, captures);
  if (!capture) return STATUS_NOT_FOUND;
  ULONG inputId = 0;
  for (ULONG i = 0; i < capture->pins.size(); ++i)
    for (auto& m : capture->pins[i].mediums)
      if (capture->pins[i].dataFlow == KSPIN_DATAFLOW_IN && sameMedium(m, medium)) inputId = i;
  ULONG antennaId = transportId == 0 ? 1 : 0;
  ULONG outputId = inputId == 0 ? 1 : 0;

  NTSTATUS status = Filter::open(tuner, graph.tuner);
  if (NT_SUCCESS(status)) status = Filter::open(*capture, graph.capture);
  if (NT_SUCCESS(status)) status = graph.tuner->createPin(antennaId, nullptr, 0, graph.antenna);
  if (NT_SUCCESS(status)) status = graph.tuner->createPin(transportId, nullptr, 0, graph.transport);
  // The two sides of the join agree on the transport format: the tuner pin's format goes to the input pin.
  if (NT_SUCCESS(status)) {
    const KSDATAFORMAT& f = graph.transport->format();
    status = graph.capture->createPin(inputId, &f, f.FormatSize, graph.input);
  }
  if (NT_SUCCESS(status)) status = graph.capture->createPin(outputId, nullptr, 0, graph.output);
  if (!NT_SUCCESS(status)) {
    graph.close();
    return status;
  }
  graph.medium = medium;
  return STATUS_SUCCESS;
}

}  // namespace host::client
