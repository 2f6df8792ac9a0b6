// The extended property set as an application sends it, in either request layout: the members' ids and a
// fixture that records the I2C bus and sends requests through the antenna pin.
#pragma once
#include <mutex>

#include "tests/capture/capture_fixture.h"

namespace extended_test {

using namespace capture_test;

enum : ULONG {
  kDiSEqC = 0,
  kNoOp = 2,
  kChannelChange = 3,
  kSnrBer = 6,
  kBlindScan = 11,
  kMediaInfo = 12,
  kStreamType = 13,
  kInputStream = 14,
  kMac = 15,
  kAccess = 21,
  kPlp = 22,
  kGoldCode = 23,
  kModCodes = 24,
  kRegs = 25,
  kDemodMode = 60,
  kFlashId = 100,
  kFlashErase = 101,
  kFlashPage = 102,
  kFlashRead = 103,
};
// The two request layouts: a node request (KSP_NODE with the topology flag, payload at 32) and a request to
// the antenna pin itself (KSPROPERTY, payload at 24), the layout applications are documented to send.
enum class Layout { Node, Pin };
inline void PrintTo(Layout l, std::ostream* os) {
  *os << (l == Layout::Node ? "node request" : "pin request");
}
// Members declared with a 32-byte minimum request take 8 bytes after a KSPROPERTY header; zeros will do.
inline constexpr uint8_t kPad[8] = {};

class Extended : public CaptureTest {
 protected:
  void SetUp() override {
    CaptureTest::SetUp();
    start(1, 1);
    machine->card(0).setI2cTraceSink([this](const std::string& line) {
      std::lock_guard<std::mutex> g(m);
      i2c.push_back(line.substr(0, line.find('\n')));
    });
  }
  void TearDown() override {
    machine->card(0).setI2cTraceSink({});
    CaptureTest::TearDown();
  }
  // An extended-set request in the fixture's layout, with a payload after the header.
  host::client::Result ext(host::client::Handle& h, ULONG id, bool set, const void* payload,
                           size_t payloadSize, void* data, size_t dataSize) {
    const size_t header = layout == Layout::Node ? sizeof(KSP_NODE) : sizeof(KSPROPERTY);
    std::vector<uint8_t> req(header + payloadSize, 0);
    auto* property = reinterpret_cast<KSPROPERTY*>(req.data());
    property->Set = kPropSetExtended;
    property->Id = id;
    property->Flags = set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
    if (layout == Layout::Node) {
      property->Flags |= KSPROPERTY_TYPE_TOPOLOGY;
      reinterpret_cast<KSP_NODE*>(req.data())->NodeId = 0;
    }
    if (payloadSize) std::memcpy(req.data() + header, payload, payloadSize);
    return h.property(req.data(), static_cast<ULONG>(req.size()), data, static_cast<ULONG>(dataSize));
  }
  size_t busLines() {
    std::lock_guard<std::mutex> g(m);
    return i2c.size();
  }
  std::vector<std::string> busSince(size_t from) {
    std::lock_guard<std::mutex> g(m);
    return {i2c.begin() + static_cast<long>(from), i2c.end()};
  }
  std::mutex m;
  std::vector<std::string> i2c;
  Layout layout = Layout::Node;
};

// Every member answers the same in either layout; only the topology flag tells them apart.
class EitherLayout : public Extended, public ::testing::WithParamInterface<Layout> {
 protected:
  void SetUp() override {
    layout = GetParam();
    Extended::SetUp();
  }
};

}  // namespace extended_test
