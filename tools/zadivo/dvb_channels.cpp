#include "tools/zadivo/dvb_channels.h"

#include <libdvbv5/countries.h>
#include <libdvbv5/dvb-fe.h>
#include <libdvbv5/dvb-file.h>
#include <libdvbv5/dvb-scan.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "sim/air.h"
#include "tools/zadivo/atomic_file.h"

namespace zadivo::tool {

namespace {

// libdvbv5 has no delivery system for DVB-C2: its entries are stored as undefined, then written as our
// private lines, which libdvbv5 takes for comments and our readers take.
constexpr std::string_view kUndefined = "DELIVERY_SYSTEM = UNDEFINED";
constexpr size_t kMaxText = 64u << 20;

// The text with every entry libdvbv5 wrote as undefined turned into a private DVBC2 entry.
std::string privateC2(const std::string& text) {
  std::string out;
  bool noted = false;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find("\n\n", at);
    end = end == std::string::npos ? text.size() : end + 2;
    std::string entry = text.substr(at, end - at);
    at = end;
    const size_t undefined = entry.find(kUndefined);
    if (undefined == std::string::npos) {
      out += entry;
      continue;
    }
    entry.replace(undefined, kUndefined.size(), "DELIVERY_SYSTEM = DVBC2");
    if (!noted)
      out += "# DVB-C2 has no dvbv5 name: its entries are read by zadivo from the lines marked '" +
             std::string(sim::kPrivateLinePrefix) + "'\n";
    noted = true;
    for (size_t line = 0; line < entry.size();) {
      const size_t nl = entry.find('\n', line);
      const size_t next = nl == std::string::npos ? entry.size() : nl + 1;
      if (next - line > 1) out += sim::kPrivateLinePrefix;
      out.append(entry, line, next - line);
      line = next;
    }
  }
  return out;
}

dvb_entry** tail(dvb_file* f) {
  dvb_entry** at = &f->first_entry;
  while (*at) at = &(*at)->next;
  return at;
}

// libdvbv5 writes every key of a delivery system, what it does not know as all ones (ISDB-T layers): such
// lines are left out, as dvbv5-scan's own entries of a real front end have none.
std::string withoutUnknowns(const std::string& text) {
  constexpr std::string_view kUnknown = " = 4294967295";
  std::string out;
  for (size_t at = 0; at < text.size();) {
    const size_t nl = text.find('\n', at);
    const size_t end = nl == std::string::npos ? text.size() : nl;
    const std::string_view line(text.data() + at, end - at);
    if (!(line.size() >= kUnknown.size() && line.substr(line.size() - kUnknown.size()) == kUnknown))
      out.append(text, at, end - at + (nl != std::string::npos));
    at = end + 1;
  }
  return out;
}

int modulationValue(const std::string& name) {
  const char* const* names = dvb_attr_names(DTV_MODULATION);
  for (int i = 0; names && names[i]; ++i)
    if (name == names[i]) return i;
  return -1;
}

}  // namespace

int dvbDeliverySystem(const std::string& name) {
  return name == "DVBC2" ? -1 : dvb_parse_delsys(name.c_str());
}

DvbChannels::DvbChannels() : file_(static_cast<dvb_file*>(calloc(1, sizeof(dvb_file)))) {}

DvbChannels::~DvbChannels() {
  if (file_) dvb_file_free(file_);
}

DvbChannels::DvbChannels(DvbChannels&& other) noexcept : file_(other.file_) { other.file_ = nullptr; }

DvbChannels& DvbChannels::operator=(DvbChannels&& other) noexcept {
  std::swap(file_, other.file_);
  return *this;
}

size_t DvbChannels::size() const {
  size_t n = 0;
  for (dvb_entry* e = file_ ? file_->first_entry : nullptr; e; e = e->next) ++n;
  return n;
}

std::vector<std::string> DvbChannels::names() const {
  std::vector<std::string> out;
  for (dvb_entry* e = file_ ? file_->first_entry : nullptr; e; e = e->next)
    out.push_back(e->channel ? e->channel : "");
  return out;
}

void DvbChannels::addDelivery(size_t from, const ChannelEntry& mux) {
  const int system = dvbDeliverySystem(mux.deliverySystem);
  size_t i = 0;
  for (dvb_entry* e = file_->first_entry; e; e = e->next, ++i) {
    if (i < from) continue;
    dvb_store_entry_prop(e, DTV_DELIVERY_SYSTEM, static_cast<uint32_t>(system < 0 ? SYS_UNDEFINED : system));
    dvb_store_entry_prop(e, DTV_FREQUENCY, static_cast<uint32_t>(mux.frequencyHz));
    if (mux.bandwidthHz) dvb_store_entry_prop(e, DTV_BANDWIDTH_HZ, mux.bandwidthHz);
    if (mux.symbolRate) dvb_store_entry_prop(e, DTV_SYMBOL_RATE, mux.symbolRate);
    if (mux.streamId >= 0) dvb_store_entry_prop(e, DTV_STREAM_ID, static_cast<uint32_t>(mux.streamId));
    const int modulation = modulationValue(mux.modulation);
    if (modulation >= 0) dvb_store_entry_prop(e, DTV_MODULATION, static_cast<uint32_t>(modulation));
    e->sat_number = -1;  // terrestrial and cable entries name no satellite
  }
}

size_t DvbChannels::addServices(dvb_v5_descriptors& tables, const ChannelEntry& mux,
                                const std::map<uint16_t, std::string>& names) {
  const size_t before = size();
  if (dvb_store_channel(&file_, parms_.get(), &tables, 0, 0) != 0) return 0;
  addDelivery(before, mux);
  size_t i = 0;
  for (dvb_entry* e = file_->first_entry; e; e = e->next, ++i) {
    auto it = names.find(e->service_id);
    if (i < before || it == names.end()) continue;
    free(e->channel);
    e->channel = strdup(it->second.c_str());
  }
  return size() - before;
}

void DvbChannels::addMultiplex(const ChannelEntry& mux) {
  auto* e = static_cast<dvb_entry*>(calloc(1, sizeof(dvb_entry)));
  if (!e) return;
  e->channel = strdup(mux.name.c_str());
  const size_t before = size();
  *tail(file_) = e;
  file_->n_entries++;
  addDelivery(before, mux);
}

void DvbChannels::append(DvbChannels&& other) {
  if (!other.file_ || !other.file_->first_entry) return;
  *tail(file_) = other.file_->first_entry;
  file_->n_entries += other.file_->n_entries;
  other.file_->first_entry = nullptr;
  other.file_->n_entries = 0;
}

bool DvbChannels::text(std::string& out, const std::string& country, std::string* error,
                       std::string* renamed) {
  size_t changed = 0;
  for (dvb_entry* e = file_->first_entry; e; e = e->next) {
    if (!e->channel) continue;
    const std::string was = e->channel, now = sectionName(was);
    if (now == was) continue;
    if (!changed++ && renamed) *renamed = "'" + was + "' is written as '" + now + "'";
    free(e->channel);
    e->channel = strdup(now.c_str());
  }
  if (changed && renamed)
    *renamed = (changed == 1 ? std::string("a name holds") : std::to_string(changed) + " names hold") +
               " what a dvbv5 section header cannot keep (it ends at ']'): " + *renamed;
  // libdvbv5 writes ISDB-T entries with a COUNTRY (which picks Japan's or Brazil's defaults) and reads none
  // back without one: the plan's country, else the user's, else Japan.
  int id = country.empty() ? COUNTRY_UNKNOWN : dvb_country_a2_to_id(country.c_str());
  if (id == COUNTRY_UNKNOWN) id = dvb_guess_user_country();
  if (id == COUNTRY_UNKNOWN) id = dvb_country_a2_to_id("JP");
  for (dvb_entry* e = file_->first_entry; e; e = e->next) {
    uint32_t system = SYS_UNDEFINED;
    if (dvb_retrieve_entry_prop(e, DTV_DELIVERY_SYSTEM, &system) == 0 && system == SYS_ISDBT)
      dvb_store_entry_prop(e, DTV_COUNTRY_CODE, static_cast<uint32_t>(id));
  }
  const char* dir = getenv("TMPDIR");
  std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/zadivo-channels-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    if (error)
      *error = "cannot make a temporary file in " + tmpl.substr(0, tmpl.rfind('/')) + ": " + strerror(errno);
    return false;
  }
  close(fd);
  const bool written = dvb_write_file(name.data(), file_) == 0;
  const bool read = written && readFile(name.data(), out, kMaxText, error);
  unlink(name.data());
  if (!written) {
    if (error) *error = "libdvbv5 could not write the channel file";
    return false;
  }
  if (!read) return false;
  out = privateC2(withoutUnknowns(out));
  return true;
}

}  // namespace zadivo::tool
