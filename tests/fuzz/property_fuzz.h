// Throws requests built from arbitrary bytes at the property and method interface of an open tuner filter
// (filter handle, antenna pin, transport pin): sets the filter knows and random ones, any id, node id, flags,
// request and data sizes and contents. Shared by the libFuzzer target and the seeded driver in the suite.
#pragma once
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/bda.h"
#include "platform/host/client/client.h"
#include "platform/host/host.h"
#include "tools/machine.h"
#include "zadivo/filter_descriptors.h"
#include "zadivo/instance_table.h"

namespace fuzz {

// Reads the input a byte at a time; zeros once it runs out.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
  uint32_t u32() { return u8() | u8() << 8 | u8() << 16 | uint32_t(u8()) << 24; }
  bool empty() const { return p_ >= end_; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

class Harness {
 public:
  // One card, channel A's graph open (the channel with the flash members), antenna pin running.
  Harness() {
    host::trace::capture();
    zadivo::MachineConfig cfg;
    machine_ = std::make_unique<zadivo::Machine>(cfg);
    uint8_t dvbt = 1;
    machine_->card(0).eeprom().setContents(0x94, &dvbt, 1);
    // Erase and program busy times of zero keep flash requests quick.
    machine_->card(0).flash().setTimings(0, 0);
    ok_ = machine_->startAll() == STATUS_SUCCESS;
    if (!ok_) return;
    for (auto& t : host::client::enumerate(KSCATEGORY_BDA_NETWORK_TUNER, machine_->pnp().driverObject()))
      if (t.openable && IsEqualGUID(t.reference, kTunerReference[0])) ok_ = NT_SUCCESS(buildGraph(t, graph_));
    if (ok_) graph_.antenna->setState(KSSTATE_RUN);
  }
  ~Harness() {
    graph_.close();
    machine_.reset();
  }
  bool ok() const { return ok_; }

  // One request per call; returns false when the input is used up.
  bool one(Bytes& in) {
    if (in.empty()) return false;
    static const GUID* const kSets[] = {
        &kPropSetExtended,       &KSPROPSETID_BdaSignalStats,        &KSPROPSETID_BdaFrequencyFilter,
        &KSPROPSETID_BdaLNBInfo, &KSPROPSETID_BdaDigitalDemodulator, &KSPROPSETID_BdaDiseqCommand,
        &kPropSetDemodAux,       &KSMETHODSETID_BdaChangeSync,       &KSMETHODSETID_BdaDeviceConfiguration,
    };
    const uint8_t pick = in.u8();
    host::client::Handle* h = pick % 3 == 0   ? static_cast<host::client::Handle*>(graph_.tuner.get())
                              : pick % 3 == 1 ? static_cast<host::client::Handle*>(graph_.antenna.get())
                                              : static_cast<host::client::Handle*>(graph_.transport.get());
    GUID set{};
    const uint8_t s = in.u8();
    if (s < 240) {
      set = *kSets[s % (sizeof kSets / sizeof kSets[0])];
    } else {
      set.Data1 = in.u32();
    }
    ULONG id = in.u8();
    if (id >= 200) id = 100 + id % 4;  // the flash members
    const ULONG flagsPick = in.u8();
    static const ULONG kFlags[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT,
                                   KSPROPERTY_TYPE_SETSUPPORT};
    ULONG flags = kFlags[flagsPick % 4] | ((flagsPick & 0x10) ? 0 : KSPROPERTY_TYPE_TOPOLOGY);
    if (flagsPick >= 0xF0) flags = in.u32();
    const ULONG node = in.u8() % 4;
    const ULONG reqSize = sizeof(KSPROPERTY) + in.u8() * 2 % 400;
    const ULONG dataSize = (in.u8() & 0x80) ? in.u8() : (in.u8() << 4 | in.u8() >> 4) % 5000;
    const bool isMethod = (s % (sizeof kSets / sizeof kSets[0])) >= 7 && s < 240;
    // Changing the tuner type rebuilds every channel; it is exercised by its own tests.
    if (IsEqualGUID(set, kPropSetExtended) && id == 60 && (flags & KSPROPERTY_TYPE_SET))
      flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY;

    std::vector<uint8_t> req(reqSize);
    for (auto& b : req) b = in.u8();
    auto* p = reinterpret_cast<KSPROPERTY*>(req.data());
    p->Set = set;
    p->Id = id;
    p->Flags = flags;
    if (reqSize >= sizeof(KSP_NODE)) reinterpret_cast<KSP_NODE*>(req.data())->NodeId = node;
    std::vector<uint8_t> data(dataSize);
    for (auto& b : data) b = in.u8();
    if (isMethod)
      h->method(req.data(), reqSize, dataSize ? data.data() : nullptr, dataSize);
    else
      h->property(req.data(), reqSize, dataSize ? data.data() : nullptr, dataSize);
    host::trace::clear();
    return true;
  }

  zadivo::Machine& machine() { return *machine_; }

 private:
  std::unique_ptr<zadivo::Machine> machine_;
  host::client::Graph graph_;
  bool ok_ = false;
};

}  // namespace fuzz
