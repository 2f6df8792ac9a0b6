// Several channels at once: opened and tuned together, then recorded together, each to its output, until a
// number of packets, a time or Ctrl-C. capture and zap both record this way.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/zadivo/atomic_file.h"
#include "tools/zadivo/commands.h"
#include "tools/zadivo/services.h"
#include "tools/zadivo/ts_analyzer.h"

namespace zadivo::tool {

inline constexpr int64_t kLockWaitNs = 1000 * 1000000LL;
// How often a wait looks up to see whether the user interrupted.
inline constexpr auto kInterruptPoll = std::chrono::milliseconds(50);

// A generous real-time bound for one frame: frames come every fraction of a platform second.
std::chrono::milliseconds frameTimeout();
// What a tune tells the user while it runs: a step it begins (step true: "tuning 474000 kHz, 8 MHz"), or
// the lock state while it waits.
using TuneStatus = std::function<void(const std::string& text, bool step)>;
// Tunes; where the user left bandwidth or symbol rate open, the family's usual ones are tried until one locks
// (the last one tried stands when none does).
bool tuneAuto(Channel& ch, const TuneParams& p, std::string* error, const TuneStatus& status = {});
std::string khzText(uint32_t khz);
// "no lock on A at 474000 kHz (a DVB-C tuner, type 4)", and what the request lacks that the family needs.
std::string noLockText(const ChannelRef& ref, int tunerType, const TuneParams& p);
// The same for a channel tuned with a PLP that did not lock, when the multiplex there turns out not to carry
// it: retuned without one, the PLPs it does carry are listed. Empty when that tells nothing more.
std::string missingPlpText(Channel& ch, const ChannelRef& ref, const TuneParams& p);
// Checks a tune against the family of the card that runs it, before any is made: a value the family cannot
// take is a usage error (false with *error naming the values it takes), one it does not use a warning, and
// is dropped. An unknown family (-1) passes.
bool fitTuneToFamily(TuneParams& p, const std::string& channel, int tunerType, std::string* error);

struct RecordJob {
  ChannelRef channel;
  TuneParams tune;
  std::string output;      // "-" for standard output
  int32_t serviceId = -1;  // -1: the whole multiplex
  std::string label;       // names the job in messages: the channel, or the service and its channel

  // Filled while tuning and recording.
  std::unique_ptr<Channel> ch;
  AtomicFile out;
  TsAnalyzer ts;
  std::unique_ptr<ServiceFilter> filter;
  std::mutex m;                    // guards ts, status and steps for the status line
  std::string status;              // while tuning
  std::vector<std::string> steps;  // what changed while tuning, in order
  bool locked = false;
  std::string error;
  uint64_t bitrate = 0;            // of the multiplex, bit/s
  uint64_t read = 0;               // bytes of the multiplex read (the service filter passes fewer on)
  double firstPacketSeconds = -1;  // platform seconds from the command's start to the first packet

  // Seconds of stream read so far (caller holds m).
  double streamSeconds() const { return bitrate ? read * 8.0 / bitrate : 0; }
};
using RecordJobs = std::vector<std::unique_ptr<RecordJob>>;

struct RecordLimits {
  double seconds = 0;    // of stream, at the multiplex's bitrate; 0: no limit
  uint64_t packets = 0;  // written per job; 0: no limit (neither: until Ctrl-C)
};

// Opens every job's channel (with its capture filter when `capture`) and tunes them all at once, then waits
// for every lock, showing each job's state while it waits. False with *error about the first job that failed
// (one without lock, when needLock).
bool tuneAll(FrontEnd& fe, RecordJobs& jobs, bool capture, bool needLock, std::string* error);
// Opens every output, runs every capture and records until the limits or Ctrl-C; then commits the outputs
// and prints a summary per job. startNs is the platform time the command began. The exit code.
int recordAll(Globals& g, RecordJobs& jobs, const RecordLimits& limits, int64_t startNs);

}  // namespace zadivo::tool
