// The tool's commands over the front-end client. Each returns the process exit code and reports failures as
// one line on stderr.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/zadivo/args.h"
#include "tools/zadivo/frontend_client.h"
#include "tools/zadivo/state_dir.h"

namespace zadivo::tool {

struct Globals {
  MachineOptions machine;
  std::string airFile;
  std::string stateDir;  // resolved
  bool json = false;
  std::unique_ptr<StateDir> state;  // the locks, held from the images' load until the process ends
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
  std::vector<ChannelRef> channels;  // none, one per name; none: the first free tuner of the family
  std::vector<std::string> outputs;  // none (statistics only) or one per name
  bool service = false;              // only the service, not its whole multiplex
  double seconds = 0;                // of stream; 0: until Ctrl-C
};

struct MonitorOptions {
  ChannelTune tuned;  // frequency 0: no tune first
  int count = 0;      // 0: until interrupted
  double interval = 1.0;
};

// One line on stderr: "zadivo: <what>".
void errorLine(const std::string& what);
// One line on stdout, flushed.
void printOut(const std::string& line);
// A report goes beside the data: to stderr when the data itself goes to stdout.
void printReport(const std::string& line, bool dataOnStdout);
bool stderrIsTerminal();
// A channel file read as an air file is, its warnings said on stderr. Nullptr after an error line.
std::shared_ptr<sim::Air> loadChannelFile(const std::string& path);
// One warning line naming channel-file entries skipped because the card's family does not receive them.
void warnSkipped(const std::vector<std::string>& skipped, const std::string& origin);

// Loads the air file (if any), opens the state directory for the use the command makes of it and starts the
// machine. Nullptr after an error line.
std::unique_ptr<FrontEnd> bringUp(Globals& g, StateUse use = StateUse::kRead);

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
