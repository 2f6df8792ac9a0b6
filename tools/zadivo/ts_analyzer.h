// Watches a transport stream as it is written: packets, bytes, sync losses and continuity errors per PID,
// the figures a capture summary reports. Input may arrive in pieces of any size.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zadivo::tool {

inline constexpr size_t kTsPacket = 188;
inline constexpr uint8_t kTsSync = 0x47;

class TsAnalyzer {
 public:
  TsAnalyzer();
  void feed(const uint8_t* data, size_t len);

  uint64_t packets() const { return packets_; }
  uint64_t bytes() const { return bytes_; }
  // Times the stream lost packet alignment (a packet whose first byte is not 0x47).
  uint64_t syncErrors() const { return syncErrors_; }
  // Packets whose continuity counter is not the successor of the previous one on the PID (a single repeat
  // is allowed, as is a jump flagged by the discontinuity indicator).
  uint64_t continuityErrors() const { return ccErrors_; }
  // Packets with the transport error indicator set.
  uint64_t transportErrors() const { return teiErrors_; }
  // Distinct PIDs seen (null packets included).
  size_t pidCount() const;

 private:
  void packet(const uint8_t* p);
  struct PidState {
    int8_t lastCc = -1;  // -1: none seen yet
    bool repeated = false;
  };
  std::array<PidState, 8192> pids_;
  std::vector<uint8_t> partial_;  // bytes of a packet split between feeds
  bool aligned_ = true;           // false while searching for sync after a loss
  uint64_t packets_ = 0;
  uint64_t bytes_ = 0;
  uint64_t syncErrors_ = 0;
  uint64_t ccErrors_ = 0;
  uint64_t teiErrors_ = 0;
};

// The rate a stream is sent at, by its own clock: the bytes between the first and the latest PCR of the first
// PID that carries one, over the 27 MHz time between them. Input is whole packets.
class PcrRate {
 public:
  void feed(const uint8_t* data, size_t len);
  // Bit/s; 0 until a second PCR.
  uint64_t bitrate() const;

 private:
  int pid_ = -1;
  uint64_t offset_ = 0;  // bytes fed so far
  uint64_t firstAt_ = 0, lastAt_ = 0;
  uint64_t span_ = 0;  // 27 MHz ticks from the first PCR to the latest, across wraps
  uint64_t lastPcr_ = 0;
};

}  // namespace zadivo::tool
