// Per-channel identifiers: reference GUIDs, transport mediums, identity GUIDs, DMA block bases.
#include "zadivo/instance_table.h"

namespace {

// Block bases interleave: A, E, B, F, C, G, D, H in ascending order.
const InstanceInfo kInstances[kInstanceCount] = {
    {1, "", "demodfilter", &kTunerReference[0], &kCaptureReference[0], &kTransportMedium[0],
     &kTunerIdentity[0], 0x8000, true},
    {2, "_B", "demodfilter_b", &kTunerReference[1], &kCaptureReference[1], &kTransportMedium[1],
     &kTunerIdentity[1], 0x9000, false},
    {3, "_C", "demodfilter_c", &kTunerReference[2], &kCaptureReference[2], &kTransportMedium[2],
     &kTunerIdentity[2], 0xA000, false},
    {4, "_D", "demodfilter_d", &kTunerReference[3], &kCaptureReference[3], &kTransportMedium[3],
     &kTunerIdentity[3], 0xB000, false},
    {5, "_E", "demodfilter_e", &kTunerReference[4], &kCaptureReference[4], &kTransportMedium[4],
     &kTunerIdentity[4], 0x8800, false},
    {6, "_F", "demodfilter_f", &kTunerReference[5], &kCaptureReference[5], &kTransportMedium[5],
     &kTunerIdentity[5], 0x9800, false},
    {7, "_G", "demodfilter_g", &kTunerReference[6], &kCaptureReference[6], &kTransportMedium[6],
     &kTunerIdentity[6], 0xA800, false},
    {8, "_H", "demodfilter_h", &kTunerReference[7], &kCaptureReference[7], &kTransportMedium[7],
     &kTunerIdentity[7], 0xB800, false},
};

}  // namespace

const InstanceInfo& instanceInfo(ULONG number) {
  return (number >= 1 && number <= kInstanceCount) ? kInstances[number - 1] : kInstances[0];
}
