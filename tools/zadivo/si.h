// Service information read from a transport stream the way a receiver reads it: sections reassembled from the
// packets, whole tables parsed by libdvbv5, and the services they name.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

struct dvb_v5_fe_parms;
struct dvb_v5_descriptors;
struct dvb_table_pat;
struct dvb_table_pmt;
struct dvb_table_sdt;
struct dvb_table_nit;
struct atsc_table_vct;

namespace zadivo::tool {

inline constexpr uint16_t kPatPid = 0x0000;
inline constexpr uint16_t kNitPid = 0x0010;
inline constexpr uint16_t kSdtPid = 0x0011;
inline constexpr uint16_t kPsipPid = 0x1FFB;

// Which tables besides PAT and PMT name a family's services.
enum class SiKind {
  Dvb,        // SDT (and NIT): DVB and ISDB
  Atsc,       // PSIP terrestrial virtual channel table
  AtscCable,  // PSIP cable virtual channel table (J.83 Annex B)
};
SiKind siKindOf(int tunerType);

// Whole sections of the watched PIDs out of transport packets: pointer fields, sections spanning packets,
// several in one packet, stuffing. A continuity gap drops the section it cut; a section whose CRC fails is
// dropped.
class SectionReader {
 public:
  using Sink = std::function<void(uint16_t pid, const uint8_t* section, size_t len)>;
  explicit SectionReader(Sink sink) : sink_(std::move(sink)) {}
  void watch(uint16_t pid) { pids_.try_emplace(pid); }
  bool watching(uint16_t pid) const { return pids_.count(pid) != 0; }
  void packet(const uint8_t* p);

 private:
  struct Pid {
    std::vector<uint8_t> buf;
    bool open = false;
    int lastCc = -1;
  };
  void drain(uint16_t pid, Pid& st);
  Sink sink_;
  std::map<uint16_t, Pid> pids_;
};

// Calls fn(service id, entry, entry length) for each entry of an SDT section's service loop (whole section,
// CRC included). False when the loop runs past the section.
bool forEachSdtService(const uint8_t* sdt, size_t len,
                       const std::function<void(uint16_t, const uint8_t*, size_t)>& fn);

// A dummy front end for libdvbv5's parsers, whose only use here is their log: kept quiet.
class DvbParms {
 public:
  DvbParms();
  ~DvbParms();
  DvbParms(const DvbParms&) = delete;
  DvbParms& operator=(const DvbParms&) = delete;
  dvb_v5_fe_parms* get() const { return p_; }

 private:
  dvb_v5_fe_parms* p_;
};

// Frees libdvbv5's tables.
struct TablesDeleter {
  void operator()(dvb_v5_descriptors* d) const;
};
using Tables = std::unique_ptr<dvb_v5_descriptors, TablesDeleter>;

// Collects the tables that name a multiplex's services: the PAT, the PMT of every program it lists, the SDT
// or the virtual channel table, and the NIT when one comes by.
class SiCollector {
 public:
  explicit SiCollector(SiKind kind);
  ~SiCollector();
  SiCollector(const SiCollector&) = delete;
  SiCollector& operator=(const SiCollector&) = delete;

  // Whole packets.
  void feed(const uint8_t* data, size_t len);
  bool hasPat() const { return pat_ != nullptr; }
  // PAT, every PMT, and the SDT or VCT.
  bool complete() const;
  // What complete() still waits for, e.g. "PMT of service 17, SDT".
  std::string missing() const;
  // The tables for libdvbv5's channel store (the collector is empty afterwards); nullptr without a PAT.
  Tables take(uint32_t deliverySystem);
  // Service names the SDT marks as UTF-8, by service id: libdvbv5 loses their characters beyond ASCII.
  std::map<uint16_t, std::string> utf8Names() const { return utf8Names_; }

 private:
  struct Table {
    int version = -1;
    int last = 0;
    std::map<int, std::vector<uint8_t>> sections;
  };
  void section(uint16_t pid, const uint8_t* s, size_t len);
  void parsed(uint8_t tableId, uint16_t extension, std::vector<std::vector<uint8_t>> sections);

  SiKind kind_;
  DvbParms parms_;
  SectionReader reader_;
  std::map<std::tuple<uint16_t, uint8_t, uint16_t>, Table> partial_;  // (pid, table id, extension)
  dvb_table_pat* pat_ = nullptr;
  std::map<uint16_t, dvb_table_pmt*> pmts_;  // by program number; null until parsed
  dvb_table_sdt* sdt_ = nullptr;
  dvb_table_nit* nit_ = nullptr;
  atsc_table_vct* vct_ = nullptr;
  std::map<uint16_t, std::string> utf8Names_;
};

}  // namespace zadivo::tool
