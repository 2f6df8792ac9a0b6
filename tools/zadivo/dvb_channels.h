// A dvbv5 channel file as libdvbv5 keeps and writes it: one entry per service, stored by libdvbv5 from a
// multiplex's tables as dvbv5-scan stores them, with the multiplex's delivery keys.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/zadivo/channel_file.h"
#include "tools/zadivo/si.h"

struct dvb_file;

namespace zadivo::tool {

class DvbChannels {
 public:
  DvbChannels();
  ~DvbChannels();
  DvbChannels(DvbChannels&& other) noexcept;
  DvbChannels& operator=(DvbChannels&& other) noexcept;
  DvbChannels(const DvbChannels&) = delete;
  DvbChannels& operator=(const DvbChannels&) = delete;

  // One entry per service the tables name (from the SDT or the virtual channel table; "#<service id>" when
  // neither names it) and describe (a service without its PMT is left out), with the SERVICE_ID, PIDs,
  // VCHANNEL and the multiplex's delivery keys; names by service id replace libdvbv5's. The number of
  // entries added.
  size_t addServices(dvb_v5_descriptors& tables, const ChannelEntry& mux,
                     const std::map<uint16_t, std::string>& names = {});
  // One entry for the multiplex itself, named mux.name.
  void addMultiplex(const ChannelEntry& mux);
  // Moves the other file's entries to the end of this one.
  void append(DvbChannels&& other);

  size_t size() const;
  std::vector<std::string> names() const;
  // The file's text as libdvbv5 writes it; ISDB-T entries name the country (ISO 3166 code, "" unknown).
  // Names a section header cannot hold are written as sectionName() has them, and *renamed then says so,
  // once for them all. False with *error when it cannot.
  bool text(std::string& out, const std::string& country, std::string* error, std::string* renamed = nullptr);

 private:
  void addDelivery(size_t from, const ChannelEntry& mux);
  dvb_file* file_;
  DvbParms parms_;
};

// The libdvbv5 delivery system of a channel-file name; -1 for DVBC2, which it has none for.
int dvbDeliverySystem(const std::string& name);

}  // namespace zadivo::tool
