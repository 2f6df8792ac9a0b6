// Where a DMA channel's bytes come from: a transport stream of whole 188-byte packets at a bitrate.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

inline constexpr size_t kTsPacket = 188;

class TsSource {
 public:
  virtual ~TsSource() = default;
  // Writes `packets` whole packets to dst. Called from the card's DMA pacing thread only.
  virtual void fill(uint8_t* dst, size_t packets) = 0;
  // Stream bitrate in bit/s (DMA pacing follows it).
  virtual uint64_t bitrate() const = 0;
};

struct TsService {
  uint16_t programNumber = 1;
  uint16_t pmtPid = 0x100;
  uint16_t pcrPid = 0x101;
  std::vector<uint16_t> esPids{0x101, 0x102};  // first private data, then audio
  uint16_t videoPid = 0;  // 0: none; else a still grey picture as MPEG-1 video, first in the PMT
  std::string name = "Service 1";
  std::string provider = "zadivo";
  uint16_t majorChannel = 0;  // ATSC virtual channel major.minor
  uint16_t minorChannel = 0;
};

// What a receiver reads besides PAT and PMT to find the services.
enum class SiFamily {
  Dvb,        // SDT and NIT (DVB and ISDB)
  Atsc,       // PSIP: MGT and terrestrial VCT
  AtscCable,  // PSIP: MGT and cable VCT (J.83 Annex B)
};

struct TsGenConfig {
  uint16_t transportStreamId = 1;
  uint16_t originalNetworkId = 1;
  std::vector<TsService> services{TsService{}};
  uint64_t bitrate = 24000000;  // bit/s; null packets fill what the services do not use
  uint64_t payloadBitrate = 0;  // bit/s of elementary-stream packets over all services; 0 = half the bitrate
  uint32_t seed = 1;            // payload bytes are seeded pseudo-random
  SiFamily si = SiFamily::Dvb;
  std::string networkName = "zadivo";
  uint8_t vctModulation = 0x04;  // modulation_mode of the VCT: 0x04 8-VSB, 0x02/0x03 64/256-QAM
};

// A generated stream: PAT, PMT, the family's service information, PCR, payload PIDs with correct continuity
// counters, nulls to fill.
std::unique_ptr<TsSource> makeGeneratedSource(const TsGenConfig& config);
// A .ts file replayed in a loop at the given bitrate; nullptr (and a message in *error) when the file is
// unreadable or holds no whole packet with a sync byte.
std::unique_ptr<TsSource> makeFileSource(const std::string& path, uint64_t bitrate, std::string* error);

}  // namespace sim
