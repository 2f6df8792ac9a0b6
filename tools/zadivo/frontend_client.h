// The one module of the tool that talks to the driver, and only as a BDA application does: it finds each
// channel's tuner filter by its reference string among the enabled interfaces, builds the graph from the pin
// factories' mediums and formats, runs the change protocol, reads signal statistics, streams by queued read
// requests and sends the extended property set's requests (PLP, MAC, tuner type, register access, flash).
// Bringing up the emulated machine is the emulation's part.
#pragma once
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/user.h"
#include "tools/zadivo/args.h"
#include "tools/zadivo/emulation.h"
#include "tools/zadivo/report.h"

namespace zadivo::tool {

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
  // One outstanding read: its header, buffer and OVERLAPPED stay put while the driver fills it.
  struct Read {
    KSSTREAM_HEADER header{};
    std::vector<uint8_t> buffer;
    OVERLAPPED ov{};
    bool queued = false;
  };
  Channel() = default;
  bool queue(Read& r);
  ChannelRef ref_;
  int tunerType_ = 1;
  HANDLE tuner_ = nullptr, capture_ = nullptr;  // capture side empty unless opened for capture
  HANDLE antenna_ = nullptr, transport_ = nullptr, input_ = nullptr, output_ = nullptr;
  ULONG frameBytes_ = 0;
  bool running_ = false;                      // completed requests go back to the queue
  std::vector<std::unique_ptr<Read>> reads_;  // in the order they were queued, from next_ on
  size_t next_ = 0;
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

  // Card errors collected so far (misuse seen by the card model).
  std::vector<std::string> cardErrors() { return emulation_->cardErrors(); }
  // The card errors that are failures to read or save an image of the state directory (they name it).
  std::vector<std::string> storageErrors() { return emulation_->storageErrors(); }

 private:
  FrontEnd() = default;
  bool control(int card, std::string* error);  // opens the control filter of the card on first use
  DWORD extended(int card, ULONG id, bool set, const void* payload, size_t payloadSize, void* data,
                 size_t dataSize, DWORD* bytes = nullptr);
  // The device path of the card's tuner filter with the given reference string ("" when it has none).
  std::wstring tunerPath(int card, const GUID& reference);

  std::unique_ptr<Emulation> emulation_;
  std::vector<std::wstring> devices_;  // each card's device instance, as its interfaces' paths begin
  std::vector<int> storedType_;
  struct Control {
    HANDLE filter = nullptr, antenna = nullptr;
  };
  std::vector<Control> controls_;
  void closeControl(int card);
};

// Extended property set of the RF tuner node.
extern const GUID kExtendedSet;
// One extended-set request to a channel's antenna pin in the documented layout: a KSPROPERTY header without
// the topology flag, the payload (if any) at offset 24.
// 0 or the Win32 error; the bytes returned in *bytes.
DWORD extendedRequest(HANDLE antenna, ULONG id, bool set, const void* payload, size_t payloadSize, void* data,
                      size_t dataSize, DWORD* bytes = nullptr);
// Reference GUIDs of the tuner filters of instances A..H.
extern const GUID kTunerReference[8];

// The PLP ids in the 260-byte Get PLP reply: a 32-bit count, then up to 255 one-byte ids.
std::vector<uint8_t> parsePlpReply(const uint8_t* reply, size_t size);

// Status as hex for messages.
std::string statusText(NTSTATUS s);
// A Win32 error for messages.
std::string errorText(DWORD error);

}  // namespace zadivo::tool
