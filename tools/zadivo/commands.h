// The tool's commands over the front-end client. Each returns the process exit code and reports failures as
// one line on stderr.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/zadivo/args.h"
#include "tools/zadivo/console.h"
#include "tools/zadivo/frontend_client.h"
#include "tools/zadivo/state_dir.h"

namespace zadivo::tool {

struct Globals {
  MachineOptions machine;
  std::string airFile;
  std::string stateDir;  // resolved
  bool json = false;
  std::unique_ptr<StateDir> state;  // the locks, held from the images' load until the process ends
  std::unique_ptr<FrontEnd> frontEnd;
  // Threads left inside driver calls at an interrupt (a scan's tunes): the process ends without tearing the
  // machine down under them.
  bool abandonedThreads = false;
};

struct ChannelTune {
  ChannelRef channel;
  TuneParams tune;
  std::string output;  // capture only
};

struct CaptureOptions {
  std::vector<ChannelTune> channels;
  double seconds = 0;    // of stream (packets at the multiplex's bitrate); 0: by packets
  uint64_t packets = 0;  // 0: by seconds; neither: until interrupted
};

struct ScanOptions {
  std::vector<ChannelRef> channels;  // the tuners to scan with; empty: every free one of the family
  int tuners = 0;                    // use at most this many; 0: all
  uint32_t fromKHz = 0, toKHz = 0, stepKHz = 0;
  std::string initialFile;
  std::string country;
  std::string output;
  bool services = true;  // read each multiplex's services; false: one entry per multiplex
};

struct ZapOptions {
  std::string channelsFile;
  std::vector<std::string> names;    // service or section names, each recorded to its output
  std::vector<uint32_t> serviceIds;  // --sid: services by id, after the names
  std::vector<ChannelRef> channels;  // none, one per name and id; none: the first free tuner of the family
  std::vector<std::string> outputs;  // none (statistics only) or one per name and id
  bool service = false;              // only the service, not its whole multiplex
  double seconds = 0;                // of stream; 0: until Ctrl-C
};

struct MonitorOptions {
  ChannelTune tuned;  // frequency 0: no tune first
  int count = 0;      // 0: until interrupted
  double interval = 1.0;
};

// A channel file read as an air file is, its warnings said on stderr. Nullptr after an error line.
std::shared_ptr<sim::Air> loadChannelFile(const std::string& path);
// One warning line counting channel-file entries skipped, by the delivery system the card's family does not
// receive.
void warnSkipped(const std::vector<std::string>& systems, const std::string& origin);

// Loads the air file (if any), opens the state directory for the use the command makes of it and starts the
// machine, which g owns from then on. Nullptr after an error line (for a command that records, one that says
// nothing was).
FrontEnd* bringUp(Globals& g, StateUse use = StateUse::kRead, bool records = false);
// Tears the machine down and closes its logs; a log that could not be written is an error line, and makes a
// successful exit code 1.
int shutDown(Globals& g, int rc);

int cmdAir(Globals& g);
int cmdStatus(Globals& g);
int cmdTune(Globals& g, const ChannelTune& t);
int cmdCapture(Globals& g, const CaptureOptions& o);
int cmdScan(Globals& g, const ScanOptions& o);
int cmdZap(Globals& g, const ZapOptions& o);
int cmdMonitor(Globals& g, const MonitorOptions& o);
int cmdMacGet(Globals& g, int card, int index);
int cmdMacSet(Globals& g, int card, int index, const Mac& mac);
int cmdTunerTypeGet(Globals& g, int card);
int cmdTunerTypeSet(Globals& g, int card, int type);
int cmdFlashId(Globals& g, int card);
int cmdFlashErase(Globals& g, int card);
int cmdFlashWrite(Globals& g, int card, const std::string& file, bool verify);
int cmdFlashRead(Globals& g, int card, const std::string& file, uint64_t size);
int cmdRegsRead(Globals& g, int card, uint8_t slave, const std::vector<uint8_t>& sub, int len);
int cmdRegsWrite(Globals& g, int card, uint8_t slave, const std::vector<uint8_t>& data);

}  // namespace zadivo::tool
