// The application side of kernel streaming on the host, as a BDA application sees it: find registered filters
// by category, open them, create pins with a data format, send property and method requests (node-addressed
// where needed) with the caller's buffers, move pins through their states, read completed frames, close.
// Graph building joins a tuner filter's transport pin to the capture filter with the same medium.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/bda.h"
#include "platform/host/ks/ks_host.h"
#include "platform/ks.h"

namespace host::ks::detail {
struct Filter;
struct Pin;
}  // namespace host::ks::detail

namespace host::client {

using FilterInfo = host::ks::Registration;

// Registered filters of a category (machine nullptr: every machine).
std::vector<FilterInfo> enumerate(const GUID& category, PDRIVER_OBJECT machine = nullptr);

// Status and bytes returned of one request.
struct Result {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG bytes = 0;
  bool ok() const { return NT_SUCCESS(status); }
};

class Pin;

// Property and method requests common to filter and pin handles.
class Handle {
 public:
  virtual ~Handle() = default;
  // A raw request: the request record (KSPROPERTY, KSP_NODE or a larger one with a payload) as given.
  Result property(const void* request, ULONG requestSize, void* data, ULONG dataSize);
  Result method(const void* request, ULONG requestSize, void* data, ULONG dataSize);
  // Filter- or pin-level property (KSPROPERTY) and node property (KSP_NODE with the topology flag).
  Result getProperty(const GUID& set, ULONG id, void* data, ULONG dataSize);
  Result setProperty(const GUID& set, ULONG id, const void* data, ULONG dataSize);
  Result getNodeProperty(ULONG nodeId, const GUID& set, ULONG id, void* data, ULONG dataSize);
  Result setNodeProperty(ULONG nodeId, const GUID& set, ULONG id, const void* data, ULONG dataSize);
  // A method of the filter or pin (KSMETHOD, flags KSMETHOD_TYPE_SEND).
  Result callMethod(const GUID& set, ULONG id, void* data, ULONG dataSize);

 protected:
  virtual host::ks::detail::Filter* filterObject() const = 0;
  virtual host::ks::detail::Pin* pinObject() const = 0;
};

class Filter final : public Handle {
 public:
  // Opens (creates) a filter from a registration; STATUS_OBJECT_NAME_NOT_FOUND when it cannot be opened.
  static NTSTATUS open(const FilterInfo& info, std::unique_ptr<Filter>& out);
  ~Filter() override;

  // Pins: the caller's data range (nullptr: the pin's first own range) is intersected with the pin's ranges
  // through the pin's intersect handler; the result is the pin's format.
  NTSTATUS createPin(ULONG pinId, const KSDATARANGE* range, ULONG rangeSize, std::unique_ptr<Pin>& out);
  // What a data-range intersection on the pin yields, without creating it.
  NTSTATUS intersect(ULONG pinId, const KSDATARANGE* range, ULONG rangeSize, std::vector<UCHAR>& format);
  NTSTATUS close();

  const FilterInfo& info() const { return info_; }
  // The framework object behind the handle (tests look inside).
  PKSFILTER ksFilter() const;

 protected:
  host::ks::detail::Filter* filterObject() const override;
  host::ks::detail::Pin* pinObject() const override { return nullptr; }

 private:
  FilterInfo info_;
  std::shared_ptr<host::ks::detail::Filter> f_;
};

class Pin final : public Handle {
 public:
  ~Pin() override;
  // Moves the pin through every state in between; stops at the first refused step (the pin stays there).
  NTSTATUS setState(KSSTATE state);
  KSSTATE state() const;
  // Waits up to timeout for the next completed frame: STATUS_SUCCESS with its bytes, STATUS_TIMEOUT, or
  // STATUS_DEVICE_NOT_CONNECTED once the pin is gone.
  NTSTATUS readFrame(std::vector<UCHAR>& frame, std::chrono::milliseconds timeout);
  NTSTATUS close();
  const KSDATAFORMAT& format() const;
  PKSPIN ksPin() const;

 protected:
  host::ks::detail::Filter* filterObject() const override;
  host::ks::detail::Pin* pinObject() const override;

 private:
  friend class Filter;
  std::shared_ptr<host::ks::detail::Pin> p_;
};

// ---- Graph
// ------------------------------------------------------------------------------------------------------

// One channel as a BDA graph builder joins it: the tuner filter with its antenna and transport pins, and the
// capture filter whose input medium equals the transport pin's, with its input and TS output pins.
struct Graph {
  std::unique_ptr<Filter> tuner;
  std::unique_ptr<Filter> capture;
  std::unique_ptr<Pin> antenna;    // tuner pin 0
  std::unique_ptr<Pin> transport;  // tuner pin 1
  std::unique_ptr<Pin> input;      // capture pin 0
  std::unique_ptr<Pin> output;     // capture pin 1
  KSPIN_MEDIUM medium{};
  // Closes pins and filters (capture side first).
  void close();
  ~Graph() { close(); }
};

// The registered capture filter whose input pin carries the medium, or nullptr.
const FilterInfo* findCaptureFor(const KSPIN_MEDIUM& medium, const std::vector<FilterInfo>& captures);
// Builds the graph of one registered tuner filter. STATUS_NOT_FOUND when no capture filter matches.
NTSTATUS buildGraph(const FilterInfo& tuner, Graph& graph);

}  // namespace host::client
