// A tiny streaming driver for the framework tests: a BDA tuner filter (antenna and transport pins, RF and
// demodulator nodes, change-sync methods) and a capture filter (input pin by medium, framed output pin), on a
// hand-made KSDEVICE. It records what the framework calls so tests can check order and arguments.
#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "platform/bda.h"
#include "platform/ks.h"

namespace ksdrv {

constexpr ULONG kTag = 0x7453544b;  // 'KTSt'
constexpr ULONG kFrameSize = 1880;  // ten packets: small frames keep the tests quick
constexpr ULONG kFrames = 64;

extern const GUID kMediumSet;
extern const GUID kTestPropSet;
extern const GUID kTunerRef;
extern const GUID kCaptureRef;

// Everything the framework did to the driver, in order.
struct Log {
  std::mutex m;
  std::vector<std::string> events;
  void add(std::string e) {
    std::lock_guard<std::mutex> g(m);
    events.push_back(std::move(e));
  }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> g(m);
    auto v = std::move(events);
    events.clear();
    return v;
  }
};
Log& log();

struct Knobs {
  ULONG frequency = 0;   // RF node property value
  int handlerCalls = 0;  // node handlers that ran
  NTSTATUS lastValidate = STATUS_SUCCESS;
  bool sawPinInIrp = false;
  KSSTATE refuseState = KSSTATE(-1);  // the capture output pin refuses a step to this state
};
Knobs& knobs();

// One simulated card: a KSDEVICE with FDO/PDO and the two factories.
struct Board {
  DEVICE_OBJECT fdo{};
  DEVICE_OBJECT pdo{};
  DRIVER_OBJECT driver{};
  KSDEVICE ks{};
  ULONG boardId = 0;
  KSFILTER_DESCRIPTOR tunerDesc{};  // copy with the board's medium id (as the driver's allocate-for-mediums)
  KSPIN_DESCRIPTOR_EX tunerPins[2]{};
  KSPIN_DESCRIPTOR_EX capturePins[2]{};
  KSFILTER_DESCRIPTOR captureDesc{};
  KSPIN_MEDIUM medium{};
  BDA_FILTER_TEMPLATE tmpl{};
  PKSFILTERFACTORY tunerFactory = nullptr;
  PKSFILTERFACTORY captureFactory = nullptr;

  explicit Board(ULONG id, PDRIVER_OBJECT machine = nullptr);
  ~Board();
  NTSTATUS start();  // creates the factories and registers the tuner filter
  void remove();
  bool removed = false;
};

}  // namespace ksdrv
