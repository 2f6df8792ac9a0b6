// The one module of the tool that talks to the driver, and only as a BDA application does: it brings up the
// emulated machine through PnP, finds each channel's registered tuner filter by reference GUID, opens the
// graph, runs the change protocol, reads signal statistics, runs the capture pin and sends the extended
// property set's requests (PLP, MAC, tuner type, register access, flash). What no driver can tell an
// application (the bitrate a multiplex is broadcast at, failures to save the card's images) it asks the
// emulated machine.
#pragma once
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/client/client.h"
#include "sim/air.h"
#include "tools/machine.h"
#include "tools/zadivo/args.h"
#include "tools/zadivo/report.h"

namespace zadivo::tool {

struct MachineOptions {
  int cards = 1;
  std::string stateDir;  // "" keeps EEPROM and flash in memory
  std::shared_ptr<sim::Air> air;
  double timeScale = 0;  // 0: as the environment sets it (ZADIVO_TIME_SCALE, else real time)
  int traceLevel = -1;   // -1: leave the driver's own default
  std::string driverImage;  // a zadivo.sys to run instead of the linked driver ("" none)
  bool imageInfo = false;   // say where the image is loaded (for a debugger) and, at the end, what it trapped
  std::string traceLog;  // "" no driver traces, "-" stderr, else a file
  std::string mmioLog;
  std::string i2cLog;
};

struct TuneParams {
  uint32_t frequencyKHz = 0;
  uint32_t bandwidthHz = 0;     // 0: not sent
  uint32_t symbolRateKsps = 0;  // 0: not sent
  int32_t streamId = -1;        // -1: no PLP/stream selection
};

class FrontEnd;

// One channel's tuner filter with its antenna and transport pins, and (for capture) the capture filter.
class Channel {
 public:
  ~Channel();
  const ChannelRef& ref() const { return ref_; }
  int tunerType() const { return tunerType_; }
  // Start changes, frequency, bandwidth, symbol rate, stream, commit. False with *error when the driver
  // refused a step; a tune that does not lock is not an error here (see stats()).
  bool tune(const TuneParams& p, std::string* error);
  SignalStats stats();
  // Polls the locked flag until it is set, platformNs of platform time passed or keepWaiting (called at each
  // poll) says no.
  bool waitLock(int64_t platformNs, const std::function<bool()>& keepWaiting = {});
  // Data PLP ids of a DVB-T2 signal (empty for DVB-T or when unlocked).
  std::vector<uint8_t> dataPlps();

  bool startCapture(std::string* error);
  // STATUS_SUCCESS with a frame, STATUS_TIMEOUT, or a failure.
  NTSTATUS readFrame(std::vector<uint8_t>& frame, std::chrono::milliseconds timeout);
  void stopCapture();
  // Drops the frames delivered but not read (a stopped capture keeps them for the reader).
  void dropFrames();

 private:
  friend class FrontEnd;
  Channel() = default;
  ChannelRef ref_;
  int tunerType_ = 1;
  host::client::Graph graph_;  // capture side empty unless opened for capture
};

class FrontEnd {
 public:
  // Loads the driver and starts every card. Nullptr with *error when that fails.
  static std::unique_ptr<FrontEnd> start(const MachineOptions& options, std::string* error);
  ~FrontEnd();
  // Removes the cards and closes the logs: what could not be written to a log, one message per log.
  std::vector<std::string> stop();
  // The same for logs the running machine still writes to, without stopping it.
  std::vector<std::string> flushLogs();

  int cards() const { return static_cast<int>(devices_.size()); }
  // Tuner type stored in the card's EEPROM at start (what the card runs, once mapped).
  // -1 when the card did not answer.
  int storedTunerType(int card) const { return storedType_.at(card); }
  int runningTunerType(int card) const {
    return storedType_.at(card) < 0 ? -1 : effectiveTunerType(storedType_.at(card));
  }

  std::unique_ptr<Channel> openChannel(const ChannelRef& ref, bool capture, std::string* error);

  // Device-wide requests, through the antenna pin of the card's channel A.
  bool macGet(int card, int index, Mac& mac, std::string* error);
  bool macSet(int card, int index, const Mac& mac, std::string* error);
  bool tunerTypeGet(int card, int& type, std::string* error);
  bool tunerTypeSet(int card, uint8_t type, std::string* error);
  bool flashId(int card, std::array<uint8_t, 3>& id, std::string* error);
  bool flashEraseStart(int card, std::string* error);
  bool flashIdle(int card, bool& idle, std::string* error);
  bool flashWritePage(int card, uint32_t address, const uint8_t* page256, std::string* error);
  bool flashReadWord(int card, uint32_t address, uint8_t out[4], std::string* error);
  bool regsRead(int card, uint8_t slave, const std::vector<uint8_t>& sub, size_t len,
                std::vector<uint8_t>& out, std::string* error);
  bool regsWrite(int card, uint8_t slave, const std::vector<uint8_t>& data, std::string* error);

  zadivo::Machine& machine() { return *machine_; }
  // Card errors collected so far (misuse seen by the card model).
  std::vector<std::string> cardErrors();
  // The card errors that are failures to read or save an image of the state directory (they name it).
  std::vector<std::string> storageErrors();
  // Bit/s of the stream the channel's demodulator delivers: the multiplex's own, as broadcast. 0 when the
  // channel delivers none.
  uint64_t streamBitrate(const ChannelRef& ref);

 private:
  FrontEnd() = default;
  bool control(int card, std::string* error);  // opens the control filter of the card on first use
  host::client::Result extended(int card, ULONG id, bool set, const void* payload, size_t payloadSize,
                                void* data, size_t dataSize);

  std::unique_ptr<zadivo::Machine> machine_;
  std::vector<PKSDEVICE> devices_;
  std::vector<int> storedType_;
  struct Control {
    std::unique_ptr<host::client::Filter> filter;
    std::unique_ptr<host::client::Pin> antenna;
  };
  std::vector<Control> controls_;
  std::string stateDir_;
  struct Log {
    std::string path;
    FILE* file = nullptr;
  };
  Log mmio_, i2c_;
  std::string traceLog_;
};

// Extended property set of the RF tuner node.
extern const GUID kExtendedSet;
// One extended-set request to a channel's antenna pin in the documented layout: a KSPROPERTY header without
// the topology flag, the payload (if any) at offset 24.
host::client::Result extendedRequest(host::client::Pin& antenna, ULONG id, bool set, const void* payload,
                                     size_t payloadSize, void* data, size_t dataSize);
// Reference GUIDs of the tuner filters of instances A..H.
extern const GUID kTunerReference[8];

// The PLP ids in the 260-byte Get PLP reply: a 32-bit count, then up to 255 one-byte ids.
std::vector<uint8_t> parsePlpReply(const uint8_t* reply, size_t size);

// Status as hex for messages.
std::string statusText(NTSTATUS s);

}  // namespace zadivo::tool
