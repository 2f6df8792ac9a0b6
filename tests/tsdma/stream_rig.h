// Stand-ins for the transport-stream path's neighbours, shared by the tsdma tests and the benchmarks: a
// source whose packets carry a sequence number (so every delivered byte can be proven), a checker for the
// frames a client reads, and a minimal capture filter of our own (one output pin, 64 frames of 96256 bytes)
// on the driver's KSDEVICE, since the driver's own capture filter is not part of it yet. No GoogleTest here.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hw/dma_regs.h"
#include "platform/bda.h"
#include "platform/host/client/client.h"
#include "platform/ks.h"
#include "sim/card.h"
#include "sim/ts_source.h"
#include "zadivo/device.h"

namespace tsdma_rig {

inline constexpr uint32_t kPacket = 188;
inline constexpr uint32_t kPacketsPerBlock = hw::dma::kBlockBytes / kPacket;  // 256
inline constexpr uint32_t kPacketsPerFrame = kTsFrameBytes / kPacket;         // 512
inline constexpr ULONG kFrames = 64;

// ---- Source
// Packet n of channel c: sync, PID 0x100 + c, payload-only with continuity counter n & 15, then the channel,
// n as 64-bit little-endian, and filler bytes that depend on n and their position.
inline uint8_t fillerByte(uint64_t seq, size_t i) { return static_cast<uint8_t>(seq * 131 + i * 7); }

inline void makePacket(uint8_t* p, int channel, uint64_t seq) {
  const uint16_t pid = static_cast<uint16_t>(0x100 + channel);
  p[0] = 0x47;
  p[1] = static_cast<uint8_t>(pid >> 8);
  p[2] = static_cast<uint8_t>(pid);
  p[3] = static_cast<uint8_t>(0x10 | (seq & 0x0F));
  p[4] = static_cast<uint8_t>(channel);
  std::memcpy(p + 5, &seq, sizeof seq);
  for (size_t i = 13; i < kPacket; ++i) p[i] = fillerByte(seq, i);
}

// A channel's stream of numbered packets. Optionally gated: with a budget the source stalls the card's
// channel once the budget is spent, so a test decides exactly how many blocks the card completes. (Stalling
// rather than waiting inside fill() keeps the card's DMA thread free: a channel stop waits for a block in
// flight.)
class SeqSource final : public sim::TsSource {
 public:
  SeqSource(int channel, uint64_t bitrate, sim::Card* card = nullptr)
      : channel_(channel), bitrate_(bitrate), card_(card) {}

  void fill(uint8_t* dst, size_t packets) override {
    std::lock_guard<std::mutex> g(m_);
    for (size_t i = 0; i < packets; ++i) makePacket(dst + i * kPacket, channel_, next_++);
    ++blocks_;
    if (budget_ > 0 && --budget_ == 0 && card_) card_->stallDmaChannel(channel_, true);
  }
  uint64_t bitrate() const override { return bitrate_; }

  // Allow exactly `blocks` more blocks (0 holds the card's channel; needs the card).
  void gate(int64_t blocks) {
    std::lock_guard<std::mutex> g(m_);
    budget_ = blocks;
    if (card_) card_->stallDmaChannel(channel_, blocks == 0);
  }
  // No limit any more.
  void release() { gate(-1); }
  uint64_t blocksFilled() {
    std::lock_guard<std::mutex> g(m_);
    return blocks_;
  }

 private:
  const int channel_;
  const uint64_t bitrate_;
  sim::Card* const card_;
  std::mutex m_;
  int64_t budget_ = -1;
  uint64_t next_ = 0;
  uint64_t blocks_ = 0;
};

// ---- Checker
// What the frames of one channel showed. Packets are checked byte for byte against makePacket.
struct StreamCheck {
  int channel = 0;
  uint64_t frames = 0;
  uint64_t packets = 0;
  uint64_t nextSeq = 0;      // sequence expected next
  uint64_t lostPackets = 0;  // packets skipped by gaps
  uint64_t gaps = 0;
  bool gapsWholeBlocks = true;      // every gap is a multiple of a block (256 packets)
  std::vector<std::string> faults;  // corruption, reordering, misalignment, odd frame sizes

  void fault(const std::string& what) {
    if (faults.size() < 20) faults.push_back(what);
  }

  void frame(const std::vector<UCHAR>& f) {
    ++frames;
    if (f.size() != kTsFrameBytes) fault("frame of " + std::to_string(f.size()) + " bytes");
    if (f.size() % kPacket) return;
    uint8_t want[kPacket];
    for (size_t off = 0; off < f.size(); off += kPacket) {
      const uint8_t* p = f.data() + off;
      if (p[0] != 0x47) {
        fault("no sync at frame " + std::to_string(frames) + " offset " + std::to_string(off));
        return;
      }
      uint64_t seq = 0;
      std::memcpy(&seq, p + 5, sizeof seq);
      makePacket(want, channel, seq);
      if (std::memcmp(p, want, kPacket) != 0) {
        fault("corrupt packet, sequence " + std::to_string(seq));
        return;
      }
      if (seq < nextSeq) {
        fault("packet " + std::to_string(seq) + " after " + std::to_string(nextSeq - 1));
        return;
      }
      if (seq > nextSeq) {
        ++gaps;
        lostPackets += seq - nextSeq;
        if ((seq - nextSeq) % kPacketsPerBlock) gapsWholeBlocks = false;
      }
      nextSeq = seq + 1;
      ++packets;
    }
  }
};

// ---- Capture filter stand-in
// The test's own capture pin object: its first field is the streaming pin, as Device::startTSn expects.
struct CapturePinObject {
  PKSPIN pin = nullptr;
  Device* device = nullptr;  // when set, stepping the pin to STOP stops its channel, as a capture pin does
  int channel = -1;
};

inline const GUID kCaptureCategory = {
    0x7a5d0001, 0x3c1f, 0x4d2e, {0x9b, 0x11, 0x2f, 0x60, 0x7e, 0x48, 0x15, 0xa3}};
inline const GUID kCaptureReference = {
    0x7a5d0002, 0x3c1f, 0x4d2e, {0x9b, 0x11, 0x2f, 0x60, 0x7e, 0x48, 0x15, 0xa3}};

namespace detail {
inline NTSTATUS NTAPI pinState(PKSPIN pin, KSSTATE to, KSSTATE) {
  auto* obj = static_cast<CapturePinObject*>(pin->Context);
  if (to == KSSTATE_STOP && obj && obj->device && obj->channel >= 0) {
    obj->device->stopTS(hw::dma::kBlockBase[obj->channel]);
    obj->device = nullptr;
  }
  return STATUS_SUCCESS;
}
inline const KSPIN_DISPATCH kPinDispatch = {nullptr,  nullptr, nullptr, nullptr, nullptr,
                                            pinState, nullptr, nullptr, nullptr, nullptr};
inline const KSALLOCATOR_FRAMING_EX kFraming = {1,
                                                0,
                                                {1, 1, 0},
                                                0,
                                                {{KSMEMORY_TYPE_KERNEL_NONPAGED,
                                                  GUID_NULL,
                                                  0,
                                                  0,
                                                  KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY,
                                                  kFrames,
                                                  {0},
                                                  0,
                                                  {0, 0xFFFFFFFF, 1},
                                                  {{kTsFrameBytes, kTsFrameBytes, 1}, 0, 0}}}};
inline KSDATARANGE makeRange() {
  KSDATARANGE r{};
  r.FormatSize = sizeof(KSDATARANGE);
  r.SampleSize = kTsFrameBytes;
  r.MajorFormat = KSDATAFORMAT_TYPE_STREAM;
  r.SubFormat = KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT;
  r.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  return r;
}
inline KSDATARANGE kRange = makeRange();
inline const PKSDATARANGE kRanges[] = {&kRange};
inline KSPIN_DESCRIPTOR_EX makePin() {
  KSPIN_DESCRIPTOR_EX p{};
  p.Dispatch = &kPinDispatch;
  p.PinDescriptor.DataRangesCount = 1;
  p.PinDescriptor.DataRanges = kRanges;
  p.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
  p.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
  p.InstancesPossible = 8;
  p.AllocatorFraming = &kFraming;
  return p;
}
inline const KSPIN_DESCRIPTOR_EX kPins[] = {makePin()};
inline const KSFILTER_DESCRIPTOR kFilter = {nullptr,
                                            nullptr,
                                            KSFILTER_DESCRIPTOR_VERSION,
                                            0,
                                            &kCaptureReference,
                                            1,
                                            sizeof(KSPIN_DESCRIPTOR_EX),
                                            kPins,
                                            1,
                                            &kCaptureCategory,
                                            0,
                                            sizeof(KSNODE_DESCRIPTOR),
                                            nullptr,
                                            0,
                                            nullptr,
                                            nullptr};
}  // namespace detail

// Creates the stand-in capture filter factory on a started card's KSDEVICE (torn down at the device's stop),
// as a driver does after start: under the device mutex, its interface enabled.
inline NTSTATUS createCaptureFactory(PKSDEVICE ksDevice) {
  PKSFILTERFACTORY factory = nullptr;
  KsAcquireDevice(ksDevice);
  NTSTATUS s = KsCreateFilterFactory(ksDevice->FunctionalDeviceObject, &detail::kFilter, nullptr, nullptr,
                                     KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, &factory);
  if (NT_SUCCESS(s)) s = KsFilterFactoryUpdateCacheData(factory, nullptr);
  if (NT_SUCCESS(s)) s = KsFilterFactorySetDeviceClassesState(factory, TRUE);
  KsReleaseDevice(ksDevice);
  return s;
}

// One channel's capture: the filter, its running output pin and the pin object handed to startTSn.
struct Capture {
  std::unique_ptr<host::client::Filter> filter;
  std::unique_ptr<host::client::Pin> pin;
  std::unique_ptr<CapturePinObject> object = std::make_unique<CapturePinObject>();

  // Opens the stand-in filter of `machine` (the card's driver object), creates its pin and runs it.
  NTSTATUS open(PDRIVER_OBJECT machine) {
    auto regs = host::client::enumerate(kCaptureCategory, machine);
    if (regs.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    NTSTATUS s = host::client::Filter::open(regs[0], filter);
    if (NT_SUCCESS(s)) s = filter->createPin(0, nullptr, 0, pin);
    if (!NT_SUCCESS(s)) return s;
    object->pin = pin->ksPin();
    pin->ksPin()->Context = object.get();
    return pin->setState(KSSTATE_RUN);
  }
  // Starts DMA channel n of the device into this pin, through startTS0..7.
  void start(Device* device, int n) {
    object->device = device;
    object->channel = n;
    const ULONG base = hw::dma::kBlockBase[n];
    switch (n) {
      case 0:
        device->startTS0(object.get(), base);
        break;
      case 1:
        device->startTS1(object.get(), base);
        break;
      case 2:
        device->startTS2(object.get(), base);
        break;
      case 3:
        device->startTS3(object.get(), base);
        break;
      case 4:
        device->startTS4(object.get(), base);
        break;
      case 5:
        device->startTS5(object.get(), base);
        break;
      case 6:
        device->startTS6(object.get(), base);
        break;
      default:
        device->startTS7(object.get(), base);
        break;
    }
  }
  void close() {
    if (pin) pin->close();
    if (filter) filter->close();
    pin.reset();
    filter.reset();
  }
  ~Capture() { close(); }
};

}  // namespace tsdma_rig
