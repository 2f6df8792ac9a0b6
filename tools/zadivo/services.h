// One service cut out of a multiplex, as a recorder of one programme does: the PAT rewritten to that program,
// its PMT, the PIDs the PMT lists and its PCR PID, and the SDT (ATSC and J.83B: the virtual channel table,
// with the master guide table that announces it) cut down to the service so that players name it. The tables
// are sent on with continuity counters of their own; nothing passes before the PMT is known.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "tools/zadivo/si.h"

namespace zadivo::tool {

class ServiceFilter {
 public:
  explicit ServiceFilter(uint16_t serviceId);

  // Appends the service's packets among `data` (whole packets) to out.
  void feed(const uint8_t* data, size_t len, std::vector<uint8_t>& out);
  // The PMT is known: the service's packets pass.
  bool ready() const { return !pids_.empty(); }
  // What is still missing while not ready, e.g. "service 17 in the PAT".
  std::string waitingFor() const;

 private:
  void section(uint16_t pid, const uint8_t* s, size_t len);
  void send(uint16_t pid, const std::vector<uint8_t>& section);

  uint16_t serviceId_;
  DvbParms parms_;
  SectionReader reader_;
  bool patSeen_ = false;
  uint16_t tsid_ = 0;
  uint8_t patVersion_ = 0;
  int pmtPid_ = -1;           // from the PAT; -1 until it lists the service
  std::set<uint16_t> pids_;   // elementary streams and PCR, from the PMT
  std::vector<uint8_t> vct_;  // the last virtual channel table cut to the service; empty until one is
  std::array<uint8_t, 8192> cc_{};
  std::vector<uint8_t>* out_ = nullptr;  // where feed() appends
};

// A PAT of one program; a service loop cut to one service (nothing when the section lacks it). Whole
// sections with their CRC.
std::vector<uint8_t> patOfOne(uint16_t transportStreamId, uint8_t version, uint16_t serviceId,
                              uint16_t pmtPid);
std::vector<uint8_t> sdtOfOne(const uint8_t* sdt, size_t len, uint16_t serviceId);
// A terrestrial or cable VCT section cut to the channel of the service in the transport stream.
std::vector<uint8_t> vctOfOne(const uint8_t* vct, size_t len, uint16_t transportStreamId, uint16_t serviceId);
// An MGT that announces only the tables a recording of one service carries: those on the PSIP PID, its
// current VCT with the size of the cut one (vctBytes).
std::vector<uint8_t> mgtForOne(const uint8_t* mgt, size_t len, size_t vctBytes);

}  // namespace zadivo::tool
