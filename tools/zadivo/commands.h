// The tool's commands over the front-end client. Each returns the process exit code and reports failures as
// one line on stderr.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/zadivo/args.h"
#include "tools/zadivo/frontend_client.h"

namespace zadivo::tool {

struct Globals {
  MachineOptions machine;
  std::string airFile;
  std::string stateDir;  // resolved
  bool json = false;
};

struct ChannelTune {
  ChannelRef channel;
  TuneParams tune;
  std::string output;  // capture only
};

struct CaptureOptions {
  std::vector<ChannelTune> channels;
  double seconds = 0;    // 0: by packets
  uint64_t packets = 0;  // 0: by seconds
};

struct ScanOptions {
  ChannelRef channel;
  uint32_t fromKHz = 0, toKHz = 0, stepKHz = 0;
  std::string initialFile;
  std::string output;
};

struct MonitorOptions {
  ChannelTune tuned;  // frequency 0: no tune first
  int count = 0;      // 0: until interrupted
  double interval = 1.0;
};

// One line on stderr: "zadivo: <what>".
void errorLine(const std::string& what);

// Loads the air file (if any), prepares the state directory and starts the machine.
std::unique_ptr<FrontEnd> bringUp(Globals& g);

int cmdStatus(Globals& g);
int cmdTune(Globals& g, const ChannelTune& t);
int cmdCapture(Globals& g, const CaptureOptions& o);
int cmdScan(Globals& g, const ScanOptions& o);
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
