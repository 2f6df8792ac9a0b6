// The broadcast environment the card's tuners listen to: a list of multiplexes, each with its delivery
// system, frequency, RF level, C/N and transport-stream source. Read from a dvbv5-style channel file or taken
// from a built-in default that carries every standard. The chips ask it what is on air at a frequency; tests
// change levels through it (the back door to the physical world).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/ts_source.h"

namespace sim {

enum class DeliverySystem { DVBT, DVBT2, DVBC_ANNEX_A, DVBC2, DVBC_ANNEX_B, ISDBT, ISDBC, ATSC };

// Name as written in channel files ("DVBC/ANNEX_A" for DVBC_ANNEX_A).
const char* deliverySystemName(DeliverySystem system);
std::optional<DeliverySystem> parseDeliverySystem(std::string_view name);

// Per-standard reception limits; one table for all standards.
struct SystemLimits {
  double minCnrDb;        // below it the demodulator never locks
  uint32_t toleranceHz;   // tuned frequency may be off by this much and still lock
  int64_t acquisitionNs;  // platform time from tune end to lock
};
const SystemLimits& systemLimits(DeliverySystem system);

inline constexpr int32_t kNoStreamId = -1;
// Services a generated multiplex carries at most (SERVICE_NAME = A, B, ...).
inline constexpr size_t kMaxServices = 16;

// Channel-file lines that start with this mark are ours alone: other readers take them for comments. Entries
// that libdvbv5 cannot read (DVB-C2) are written this way so that they do not spoil the rest of the file.
inline constexpr std::string_view kPrivateLinePrefix = "#zadivo ";

struct Multiplex {
  std::string name;
  DeliverySystem system = DeliverySystem::DVBT;
  uint64_t frequencyHz = 0;
  uint32_t bandwidthHz = 0;        // 0 where the standard has none (cable, ATSC: 6 MHz implied)
  uint32_t symbolRate = 0;         // symbols/s, cable standards
  int32_t streamId = kNoStreamId;  // PLP or TSMF stream id; several entries may share one frequency
  double rfLevelDbm = -50.0;
  double cnrDb = 30.0;
  uint64_t bitrate = 0;                   // bit/s of the transport stream
  std::string tsFile;                     // replayed when set, else a generated stream
  std::vector<std::string> serviceNames;  // the services of a generated stream, in PAT order
  uint16_t transportStreamId = 0;
};

class Air {
 public:
  // Makes a fresh source for a multiplex; each receiver gets its own so that it sees the whole stream.
  using SourceFactory = std::function<std::unique_ptr<TsSource>(const Multiplex&, uint32_t seed)>;

  explicit Air(std::vector<Multiplex> multiplexes = {}, uint32_t seed = 1);

  // Parses channel-file text: what libdvbv5 writes and the dtv-scan-tables lists hold, plus our own keys.
  // Keys of no use to the air are skipped (unknown ones with one warning each in *warnings), and so is an
  // entry that repeats an earlier one (with a warning). On failure returns nullptr and "<origin>:<line>:
  // <what>" in *error. Relative TS_FILE paths are taken relative to baseDir.
  static std::shared_ptr<Air> parse(std::string_view text, std::string* error,
                                    std::string_view origin = "air", const std::string& baseDir = "",
                                    uint32_t seed = 1, std::vector<std::string>* warnings = nullptr);
  // Reads a channel file of at most 4 MiB and parses it.
  static std::shared_ptr<Air> load(const std::string& path, std::string* error, uint32_t seed = 1,
                                   std::vector<std::string>* warnings = nullptr);
  // Every standard, distinct transport stream ids and service names.
  static std::shared_ptr<Air> makeDefault(uint32_t seed = 1);

  std::vector<Multiplex> multiplexes() const;
  size_t size() const;
  uint32_t seed() const { return seed_; }

  // The multiplex of `system` whose frequency is within `toleranceHz` of frequencyHz (the nearest one),
  // with the given stream id when there are several at that frequency (kNoStreamId: the first).
  std::optional<Multiplex> find(DeliverySystem system, uint64_t frequencyHz, uint32_t toleranceHz,
                                int32_t streamId = kNoStreamId) const;
  // All stream ids on air at a frequency for a system, in file order.
  std::vector<int32_t> streamIds(DeliverySystem system, uint64_t frequencyHz, uint32_t toleranceHz) const;
  // Power a tuner sees at a frequency whatever the system: the strongest multiplex whose channel covers
  // it, else the noise floor.
  double rfLevelAt(uint64_t frequencyHz) const;
  static constexpr double kNoiseFloorDbm = -100.0;

  // Back door: change the physical world. False when no multiplex has that name.
  bool setRfLevel(const std::string& name, double dbm);
  bool setCnr(const std::string& name, double db);

  // A new source for the multiplex (generated from its settings, or its file). nullptr when it cannot be
  // made (file vanished); *error says why.
  std::unique_ptr<TsSource> makeSource(const Multiplex& mux, std::string* error = nullptr) const;
  void setSourceFactory(SourceFactory factory);

  // Generator settings used for a multiplex without TS_FILE.
  TsGenConfig generatorConfig(const Multiplex& mux) const;

 private:
  mutable std::mutex m_;
  std::vector<Multiplex> muxes_;  // guarded by m_
  SourceFactory factory_;         // guarded by m_; empty = built-in
  uint32_t seed_;
};

}  // namespace sim
