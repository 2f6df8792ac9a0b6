#include "tools/zadivo/commands.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "hw/tuner_range.h"
#include "platform/host/clock.h"
#include "tools/zadivo/atomic_file.h"
#include "tools/zadivo/channel_file.h"
#include "tools/zadivo/interrupt.h"
#include "tools/zadivo/report.h"
#include "tools/zadivo/scan_plan.h"
#include "tools/zadivo/state_dir.h"
#include "tools/zadivo/ts_analyzer.h"

namespace zadivo::tool {

namespace {

constexpr int64_t kLockWaitNs = 1000 * host::clock::kMs;
constexpr size_t kFlashPage = 256;
// No flash the card takes is larger; a bigger file is not an image for it.
constexpr size_t kMaxFlashImage = size_t{1} << 28;
// How often a wait looks up to see whether the user interrupted.
constexpr auto kInterruptPoll = std::chrono::milliseconds(50);

bool stderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

double platformSeconds() { return host::clock::nowNs() / 1e9; }

// A generous real-time bound for one frame: frames come every fraction of a platform second.
std::chrono::milliseconds frameTimeout() {
  const double realSeconds = 5.0 * std::max(host::clock::scale(), 0.05) + 2.0;
  return std::chrono::milliseconds(static_cast<int64_t>(realSeconds * 1000));
}

// Sleeps until the platform clock reaches platformNs; false when interrupted first.
bool sleepUntil(int64_t platformNs) {
  while (host::clock::nowNs() < platformNs) {
    if (interrupted()) return false;
    std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(
        kInterruptPoll, std::chrono::nanoseconds(static_cast<int64_t>(
                            static_cast<double>(platformNs - host::clock::nowNs()) * host::clock::scale()))));
  }
  return !interrupted();
}

void printOut(const std::string& line) {
  fputs(line.c_str(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

// A report goes beside the data: to stderr when the data itself goes to stdout.
void printReport(const std::string& line, bool dataOnStdout) {
  if (dataOnStdout)
    fprintf(stderr, "%s\n", line.c_str());
  else
    printOut(line);
}

std::string khzText(uint32_t khz) { return std::to_string(khz) + " kHz"; }

// Tunes; where the user left bandwidth or symbol rate open, the family's usual ones are tried until one locks
// (the last one tried stands when none does).
bool tuneAuto(Channel& ch, const TuneParams& p, std::string* error) {
  std::vector<uint32_t> bws{p.bandwidthHz}, srs{p.symbolRateKsps};
  if (!p.bandwidthHz && ch.tunerType() > 0 && !familyBandwidths(ch.tunerType()).empty())
    bws = familyBandwidths(ch.tunerType());
  if (!p.symbolRateKsps && ch.tunerType() > 0 && !familySymbolRates(ch.tunerType()).empty())
    srs = familySymbolRates(ch.tunerType());
  for (size_t i = 0; i < bws.size(); ++i)
    for (size_t k = 0; k < srs.size(); ++k) {
      TuneParams q = p;
      q.bandwidthHz = bws[i];
      q.symbolRateKsps = srs[k];
      if (!ch.tune(q, error)) return false;
      if (bws.size() * srs.size() == 1 || ch.waitLock(kLockWaitNs / 4)) return true;
    }
  return true;
}

}  // namespace

void errorLine(const std::string& what) {
  fflush(stdout);
  fprintf(stderr, "zadivo: %s\n", what.c_str());
}

namespace {

// A channel file, its warnings said on stderr. Nullptr after an error line.
std::shared_ptr<sim::Air> loadChannelFile(const std::string& path) {
  std::string error;
  std::vector<std::string> warnings;
  auto air = sim::Air::load(path, &error, 1, &warnings);
  for (const auto& w : warnings) errorLine("warning: " + w);
  if (!air) errorLine(error.empty() ? "cannot load " + path : error);
  return air;
}

// The card model saves its images as the chips change: a save that failed is the command's failure.
bool stored(FrontEnd& fe) {
  const auto errors = fe.storageErrors();
  if (!errors.empty()) errorLine("not stored: " + errors.front());
  return errors.empty();
}

}  // namespace

std::unique_ptr<FrontEnd> bringUp(Globals& g, StateUse use) {
  std::string error;
  if (!g.airFile.empty() && !(g.machine.air = loadChannelFile(g.airFile))) return nullptr;
  if (!g.stateDir.empty() && !(g.state = openStateDir(g.stateDir, g.machine.cards, use, &error))) {
    errorLine(error);
    return nullptr;
  }
  g.machine.stateDir = g.stateDir;
  auto fe = FrontEnd::start(g.machine, &error);
  if (!fe) {
    errorLine(error);
    return nullptr;
  }
  if (!stored(*fe)) return nullptr;
  if (interrupted()) {
    errorLine("interrupted");
    return nullptr;
  }
  return fe;
}

int cmdAir(Globals& g) {
  auto air = g.airFile.empty() ? sim::Air::makeDefault() : loadChannelFile(g.airFile);
  if (!air) return 1;
  std::vector<std::string> json;
  if (!g.json)
    printOut("system        frequency     width/rate    stream   level      C/N        bitrate     name");
  for (const auto& m : air->multiplexes()) {
    if (g.json) {
      Json j;
      j.add("name", m.name)
          .add("delivery_system", sim::deliverySystemName(m.system))
          .add("frequency_hz", static_cast<int64_t>(m.frequencyHz))
          .add("bandwidth_hz", static_cast<int64_t>(m.bandwidthHz))
          .add("symbol_rate", static_cast<int64_t>(m.symbolRate))
          .add("stream_id", static_cast<int64_t>(m.streamId))
          .add("rf_level_dbm", m.rfLevelDbm, 2)
          .add("cnr_db", m.cnrDb, 2)
          .add("bitrate", static_cast<int64_t>(m.bitrate))
          .add("ts_file", m.tsFile);
      json.push_back(j.str());
      continue;
    }
    char width[32], stream[16], buf[256];
    if (m.symbolRate)
      snprintf(width, sizeof width, "%.3f MS/s", m.symbolRate / 1e6);
    else
      snprintf(width, sizeof width, "%.3f MHz", m.bandwidthHz / 1e6);
    snprintf(stream, sizeof stream, m.streamId == sim::kNoStreamId ? "-" : "%d", m.streamId);
    snprintf(buf, sizeof buf, "%-13s %-13s %-13s %-7s %6.1f dBm %5.1f dB %6.2f Mbit/s  %s",
             sim::deliverySystemName(m.system), khzText(static_cast<uint32_t>(m.frequencyHz / 1000)).c_str(),
             width, stream, m.rfLevelDbm, m.cnrDb, m.bitrate / 1e6, m.name.c_str());
    printOut(buf);
  }
  if (g.json) printOut(jsonArray(json));
  return 0;
}

// ---- status, tune, monitor
// ---------------------------------------------------------------------------------

int cmdStatus(Globals& g) {
  auto fe = bringUp(g);
  if (!fe) return 1;
  std::vector<std::string> json;
  if (!g.json) printOut("card ch family    status");
  for (int card = 0; card < fe->cards(); ++card) {
    for (int i = 0; i < kChannelsPerCard; ++i) {
      ChannelRef ref{card, i};
      std::string error;
      auto ch = fe->openChannel(ref, false, &error);
      if (!ch) {
        errorLine(error);
        return 1;
      }
      SignalStats s = ch->stats();
      const char* family = familyName(fe->runningTunerType(card));
      if (g.json) {
        Json j;
        j.add("card", static_cast<int64_t>(card))
            .add("channel", std::string(1, channelLetter(i)))
            .add("family", family);
        addStats(j, s);
        json.push_back(j.str());
      } else {
        char buf[64];
        snprintf(buf, sizeof buf, "%-4d %-2c %-9s ", card, channelLetter(i), family);
        printOut(buf + femonLine(s));
      }
    }
  }
  if (g.json) printOut(jsonArray(json));
  return 0;
}

int cmdTune(Globals& g, const ChannelTune& t) {
  auto fe = bringUp(g);
  if (!fe) return 1;
  std::string error;
  auto ch = fe->openChannel(t.channel, false, &error);
  if (!ch || !tuneAuto(*ch, t.tune, &error)) {
    errorLine(error);
    return 1;
  }
  ch->waitLock(kLockWaitNs);
  SignalStats s = ch->stats();
  if (g.json) {
    Json j;
    j.add("channel", channelName(t.channel)).add("frequency_khz", static_cast<int64_t>(t.tune.frequencyKHz));
    addStats(j, s);
    printOut(j.str());
  } else {
    printOut(channelName(t.channel) + " " + khzText(t.tune.frequencyKHz) + ": " + femonLine(s));
  }
  if (!s.locked) {
    errorLine("no lock on " + channelName(t.channel) + " at " + khzText(t.tune.frequencyKHz));
    return 1;
  }
  return 0;
}

int cmdMonitor(Globals& g, const MonitorOptions& o) {
  auto fe = bringUp(g);
  if (!fe) return 1;
  std::string error;
  auto ch = fe->openChannel(o.tuned.channel, false, &error);
  if (!ch || (o.tuned.tune.frequencyKHz && !tuneAuto(*ch, o.tuned.tune, &error))) {
    errorLine(error);
    return 1;
  }
  if (o.tuned.tune.frequencyKHz)
    ch->waitLock(kLockWaitNs);
  else
    errorLine("note: " + channelName(o.tuned.channel) +
              " is not tuned: each run starts the card afresh; give -f (and -b or -s) to tune it first");
  const int64_t step = static_cast<int64_t>(o.interval * 1e9);
  int64_t next = host::clock::nowNs();
  // The user's interrupt is how a monitor without --count ends: a normal end.
  for (int n = 0; o.count == 0 || n < o.count; ++n) {
    if (n && !sleepUntil(next += step)) break;
    SignalStats s = ch->stats();
    if (g.json) {
      Json j;
      j.add("channel", channelName(o.tuned.channel)).add("time", platformSeconds(), 3);
      addStats(j, s);
      printOut(j.str());
    } else {
      printOut(femonLine(s));
    }
  }
  return 0;
}

// ---- capture
// -----------------------------------------------------------------------------------------------

namespace {

struct CaptureJob {
  const ChannelTune* wanted = nullptr;
  std::unique_ptr<Channel> channel;
  AtomicFile out;
  TsAnalyzer ts;
  std::mutex m;  // guards ts for the progress reader
  std::string error;
  uint64_t bitrate = 0;  // of the stream, bit/s
  uint64_t want = 0;     // packets; 0: until interrupted

  // Seconds of stream the packets so far carry (caller holds m).
  double streamSeconds() const { return bitrate ? ts.bytes() * 8.0 / bitrate : 0; }
};

// Reads one frame, giving up after frameTimeout() without one, or when the user interrupts.
NTSTATUS readFrameOrInterrupt(Channel& ch, std::vector<uint8_t>& frame) {
  const auto deadline = std::chrono::steady_clock::now() + frameTimeout();
  NTSTATUS s;
  while ((s = ch.readFrame(frame, kInterruptPoll)) == STATUS_TIMEOUT && !interrupted() &&
         std::chrono::steady_clock::now() < deadline) {
  }
  return s;
}

void record(CaptureJob& job, std::atomic<bool>& failed) {
  std::vector<uint8_t> frame;
  const std::string name = channelName(job.wanted->channel);
  while (!failed && !interrupted()) {
    NTSTATUS s = readFrameOrInterrupt(*job.channel, frame);
    if (s == STATUS_TIMEOUT && interrupted()) break;
    if (s == STATUS_TIMEOUT) {
      job.error = name + ": no data from the card";
      failed = true;
      break;
    }
    if (!NT_SUCCESS(s)) {
      job.error = name + ": capture failed (status " + statusText(s) + ")";
      failed = true;
      break;
    }
    size_t len = frame.size();
    if (job.want) {
      uint64_t have;
      {
        std::lock_guard l(job.m);
        have = job.ts.packets();
      }
      len = static_cast<size_t>(std::min<uint64_t>(len, (job.want - have) * kTsPacket));
    }
    if (!job.out.write(frame.data(), len, &job.error)) {
      failed = true;
      break;
    }
    std::lock_guard l(job.m);
    job.ts.feed(frame.data(), len);
    if (job.want && job.ts.packets() >= job.want) break;
  }
  job.channel->stopCapture();
}

}  // namespace

int cmdCapture(Globals& g, const CaptureOptions& o) {
  auto fe = bringUp(g);
  if (!fe) return 1;
  std::vector<std::unique_ptr<CaptureJob>> jobs;
  std::string error;
  for (const auto& wanted : o.channels) {
    auto job = std::make_unique<CaptureJob>();
    job->wanted = &wanted;
    job->channel = fe->openChannel(wanted.channel, true, &error);
    if (!job->channel || !tuneAuto(*job->channel, wanted.tune, &error)) {
      errorLine(error);
      return 1;
    }
    jobs.push_back(std::move(job));
  }
  for (auto& job : jobs) {
    if (!job->channel->waitLock(kLockWaitNs)) {
      errorLine("no lock on " + channelName(job->wanted->channel) + " at " +
                khzText(job->wanted->tune.frequencyKHz));
      return 1;
    }
    // A duration is of stream, not of the wall clock: a loaded machine records late, not less.
    job->bitrate = fe->streamBitrate(job->wanted->channel);
    if (!job->bitrate) {
      errorLine("no stream on " + channelName(job->wanted->channel));
      return 1;
    }
    job->want = o.packets ? o.packets
                : o.seconds > 0
                    ? std::max<uint64_t>(
                          1, static_cast<uint64_t>(std::ceil(o.seconds * job->bitrate / (kTsPacket * 8))))
                    : 0;
  }
  for (auto& job : jobs) {
    if (!job->out.open(job->wanted->output, &error)) {
      errorLine(error);
      return 1;
    }
  }
  for (auto& job : jobs) {
    if (!job->channel->startCapture(&error)) {
      errorLine(channelName(job->wanted->channel) + ": " + error);
      return 1;
    }
  }
  std::atomic<bool> failed{false};
  std::atomic<int> running{static_cast<int>(jobs.size())};
  std::vector<std::thread> threads;
  for (auto& jp : jobs)
    threads.emplace_back([&, job = jp.get()] {
      record(*job, failed);
      --running;
    });
  if (stderrIsTerminal()) {
    while (running > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      std::string line;
      for (auto& job : jobs) {
        std::lock_guard l(job->m);
        char buf[160];
        snprintf(buf, sizeof buf, "%s %llu pkts %.2f s cc %llu  ", channelName(job->wanted->channel).c_str(),
                 static_cast<unsigned long long>(job->ts.packets()), job->streamSeconds(),
                 static_cast<unsigned long long>(job->ts.continuityErrors()));
        line += buf;
      }
      fprintf(stderr, "\r%s", line.c_str());
    }
    fprintf(stderr, "\n");
  }
  for (auto& t : threads) t.join();
  if (failed) {
    for (auto& job : jobs)
      if (!job->error.empty()) {
        errorLine(job->error);
        break;
      }
    return 1;  // every output file is removed with its job
  }
  // Ended by the packets asked for, or by the user: either way the recording is complete as it stands.
  for (auto& job : jobs) {
    if (!job->out.commit(&error)) {
      errorLine(error);
      return 1;
    }
  }
  const bool toStdout = std::any_of(jobs.begin(), jobs.end(), [](auto& j) { return j->out.isStdout(); });
  std::vector<std::string> json;
  for (auto& job : jobs) {
    CaptureSummary s;
    s.channel = channelName(job->wanted->channel);
    s.output = job->wanted->output;
    s.packets = job->ts.packets();
    s.bytes = job->ts.bytes();
    s.seconds = job->streamSeconds();
    s.continuityErrors = job->ts.continuityErrors();
    s.syncErrors = job->ts.syncErrors();
    if (g.json)
      json.push_back(summaryJson(s));
    else
      printReport(summaryLine(s), toStdout);
  }
  if (g.json) printReport(jsonArray(json), toStdout);
  return 0;
}

// ---- scan
// --------------------------------------------------------------------------------------------------

int cmdScan(Globals& g, const ScanOptions& o) {
  // The initial list is read as an air file is: one reader for every channel file the tool takes.
  std::vector<ChannelEntry> initial;
  if (!o.initialFile.empty()) {
    auto listed = loadChannelFile(o.initialFile);
    if (!listed) return 1;
    for (const auto& m : listed->multiplexes()) {
      ChannelEntry e;
      e.frequencyHz = m.frequencyHz;
      e.bandwidthHz = m.bandwidthHz;
      e.symbolRate = m.symbolRate;
      initial.push_back(std::move(e));
    }
  }
  auto fe = bringUp(g);
  if (!fe) return 1;
  std::string error;
  auto ch = fe->openChannel(o.channel, false, &error);
  if (!ch) {
    errorLine(error);
    return 1;
  }
  const int type = fe->runningTunerType(o.channel.card);
  if (type < 0) {
    errorLine("card " + std::to_string(o.channel.card) + " does not report its tuner type");
    return 1;
  }
  std::vector<ScanCandidate> plan = !initial.empty() ? initialPlan(type, initial)
                                    : o.stepKHz      ? rangePlan(type, o.fromKHz, o.toKHz, o.stepKHz)
                                                     : defaultPlan(type);
  // An initial file may list frequencies the card cannot tune; the driver would refuse them.
  std::erase_if(plan, [](const ScanCandidate& c) {
    if (hw::tuner::tunable(c.frequencyKHz)) return false;
    fprintf(stderr, "scan: skipping %s: outside the tuner's range\n", khzText(c.frequencyKHz).c_str());
    return true;
  });
  AtomicFile out;
  if (!out.open(o.output, &error)) {
    errorLine(error);
    return 1;
  }
  std::vector<ChannelEntry> found;
  std::vector<std::string> json;
  auto attempt = [&](uint32_t khz, uint32_t bw, uint32_t sr, int32_t stream) {
    TuneParams p{khz, bw, sr, stream};
    if (!ch->tune(p, &error)) return false;
    return ch->waitLock(0) || ch->waitLock(kLockWaitNs / 4);
  };
  size_t n = 0;
  bool cut = false;
  for (const auto& c : plan) {
    // What was found stands when the user stops the scan; the candidate in hand is dropped.
    if ((cut = interrupted())) break;
    ++n;
    if (stderrIsTerminal())
      fprintf(stderr, "\rscan: %zu/%zu %s ", n, plan.size(), khzText(c.frequencyKHz).c_str());
    const auto bws = c.bandwidthsHz.empty() ? std::vector<uint32_t>{0} : c.bandwidthsHz;
    const auto srs = c.symbolRatesKsps.empty() ? std::vector<uint32_t>{0} : c.symbolRatesKsps;
    bool locked = false;
    uint32_t bw = 0, sr = 0;
    for (size_t i = 0; i < bws.size() && !locked; ++i)
      for (size_t k = 0; k < srs.size() && !locked; ++k) {
        if (!error.empty() || interrupted()) break;
        bw = bws[i];
        sr = srs[k];
        locked = attempt(c.frequencyKHz, bw, sr, -1);
        // Only signal at the frequency is worth the other settings.
        if (!locked && strengthDbm(ch->stats().strength) < -90.0) i = bws.size(), k = srs.size();
      }
    // A carrier of several streams (TSMF) may lock only with one selected. Its streams are numbered from 1,
    // so a carrier whose first stream does not lock is not worth the others.
    std::vector<int32_t> streams;
    const std::vector<int32_t> ids = probedStreamIds(type);
    if (!locked && error.empty() && !ids.empty() && strengthDbm(ch->stats().strength) >= -90.0 &&
        attempt(c.frequencyKHz, bw, sr, ids.front())) {
      streams.push_back(ids.front());
      for (size_t i = 1; i < ids.size(); ++i)
        if (attempt(c.frequencyKHz, bw, sr, ids[i])) streams.push_back(ids[i]);
      locked = true;
    }
    if (!error.empty()) {
      errorLine(error);
      return 1;
    }
    if ((cut = interrupted())) break;
    if (!locked) continue;
    const SignalStats s = ch->stats();
    ChannelEntry e;
    e.deliverySystem = deliverySystemOf(type);
    e.frequencyHz = uint64_t(c.frequencyKHz) * 1000;
    e.bandwidthHz = c.bandwidthsHz.empty() ? 0 : bw;
    e.symbolRate = sr * 1000;
    e.modulation = modulationOf(type, e.symbolRate);
    if (effectiveTunerType(type) == 1) {
      for (uint8_t plp : ch->dataPlps()) streams.push_back(plp);
      if (!streams.empty()) e.deliverySystem = "DVBT2";
    } else if (streams.empty()) {
      for (int32_t id : probedStreamIds(type))
        if (attempt(c.frequencyKHz, bw, sr, id)) streams.push_back(id);
    }
    if (streams.empty()) streams.push_back(-1);
    for (int32_t id : streams) {
      ChannelEntry x = e;
      x.streamId = id;
      x.name = std::string(e.deliverySystem) + " " + khzText(c.frequencyKHz) +
               (id >= 0 ? " stream " + std::to_string(id) : "");
      fprintf(stderr, "%sscan: found %s (%s)\n", stderrIsTerminal() ? "\r" : "", x.name.c_str(),
              femonLine(s).c_str());
      if (g.json) {
        Json j;
        j.add("name", x.name)
            .add("delivery_system", x.deliverySystem)
            .add("frequency_hz", static_cast<int64_t>(x.frequencyHz));
        if (x.bandwidthHz) j.add("bandwidth_hz", static_cast<int64_t>(x.bandwidthHz));
        if (x.symbolRate) j.add("symbol_rate", static_cast<int64_t>(x.symbolRate));
        if (x.streamId >= 0) j.add("stream_id", static_cast<int64_t>(x.streamId));
        addStats(j, s);
        json.push_back(j.str());
      }
      found.push_back(std::move(x));
    }
  }
  const char* cr = stderrIsTerminal() ? "\r" : "";
  if (cut)
    fprintf(stderr, "%sscan: interrupted after %zu of %zu frequencies: %zu multiplex entries found\n", cr, n,
            plan.size(), found.size());
  else
    fprintf(stderr, "%sscan: %zu multiplex entries found\n", cr, found.size());
  const std::string text = formatChannelFile(found);
  if (!out.write(text.data(), text.size(), &error) || !out.commit(&error)) {
    errorLine(error);
    return 1;
  }
  if (g.json) printReport(jsonArray(json), out.isStdout());
  return 0;
}

// ---- device storage: MAC, tuner type, flash, registers
// -----------------------------------------------------

namespace {

Json macJson(int card, int index, const Mac& mac) {
  Json j;
  j.add("card", static_cast<int64_t>(card))
      .add("index", static_cast<int64_t>(index))
      .add("mac", formatMac(mac));
  return j;
}

Json tunerTypeJson(int type) {
  Json j;
  j.add("stored", static_cast<int64_t>(type))
      .add("running", static_cast<int64_t>(effectiveTunerType(type)))
      .add("family", familyName(type));
  return j;
}

}  // namespace

int cmdMacGet(Globals& g, int card, int index) {
  auto fe = bringUp(g);
  if (!fe) return 1;
  Mac mac{};
  std::string error;
  if (!fe->macGet(card, index, mac, &error)) {
    errorLine(error);
    return 1;
  }
  printOut(g.json ? macJson(card, index, mac).str() : formatMac(mac));
  return 0;
}

int cmdMacSet(Globals& g, int card, int index, const Mac& mac) {
  auto fe = bringUp(g, StateUse::kWrite);
  if (!fe) return 1;
  std::string error;
  if (!fe->macSet(card, index, mac, &error)) {
    errorLine(error);
    return 1;
  }
  if (!stored(*fe)) return 1;
  if (g.json) printOut(macJson(card, index, mac).str());
  return 0;
}

int cmdTunerTypeGet(Globals& g, int card) {
  auto fe = bringUp(g);
  if (!fe) return 1;
  int type = 0;
  std::string error;
  if (!fe->tunerTypeGet(card, type, &error)) {
    errorLine(error);
    return 1;
  }
  printOut(g.json ? tunerTypeJson(type).str() : std::to_string(type) + " (" + familyName(type) + ")");
  return 0;
}

int cmdTunerTypeSet(Globals& g, int card, int type) {
  auto fe = bringUp(g, StateUse::kWrite);
  if (!fe) return 1;
  std::string error;
  if (!fe->tunerTypeSet(card, static_cast<uint8_t>(type), &error)) {
    errorLine(error);
    return 1;
  }
  if (!stored(*fe)) return 1;
  if (g.json) printOut(tunerTypeJson(type).str());
  if (effectiveTunerType(type) != type)
    fprintf(stderr, "zadivo: note: type %d is stored; the card runs it as type 1 (%s)\n", type,
            familyName(1));
  return 0;
}

namespace {

void progressBar(const char* what, uint64_t done, uint64_t total) {
  if (!stderrIsTerminal() || total == 0) return;
  const int width = 40;
  const int filled = static_cast<int>(done * width / total);
  fprintf(stderr, "\r%s [%.*s%*s] %3d%%", what, filled, "########################################",
          width - filled, "", static_cast<int>(done * 100 / total));
  if (done == total) fprintf(stderr, "\n");
}

uint64_t flashSize(const std::array<uint8_t, 3>& id) {
  // JEDEC capacity byte: log2 of the size in bytes.
  return id[2] >= 16 && id[2] <= 28 ? uint64_t(1) << id[2] : 4u << 20;
}

bool waitFlashIdle(FrontEnd& fe, int card, int64_t platformNs, std::string* error) {
  const int64_t deadline = host::clock::nowNs() + platformNs;
  while (true) {
    bool idle = false;
    if (!fe.flashIdle(card, idle, error)) return false;
    if (idle) return true;
    if (host::clock::nowNs() >= deadline) {
      if (error) *error = "flash stays busy";
      return false;
    }
    host::clock::sleepNs(10 * host::clock::kMs);
  }
}

bool readFlash(FrontEnd& fe, int card, uint64_t size, std::vector<uint8_t>& out, const char* what,
               std::string* error) {
  out.resize(size);
  for (uint64_t a = 0; a < size; a += 4) {
    uint8_t w[4];
    if (interrupted()) {
      if (error) *error = "interrupted";
      return false;
    }
    if (!fe.flashReadWord(card, static_cast<uint32_t>(a), w, error)) return false;
    memcpy(out.data() + a, w, std::min<uint64_t>(4, size - a));
    if ((a & 0xFFFF) == 0 || a + 4 >= size) progressBar(what, std::min(a + 4, size), size);
  }
  return true;
}

}  // namespace

int cmdFlashId(Globals& g, int card) {
  auto fe = bringUp(g);
  if (!fe) return 1;
  std::array<uint8_t, 3> id{};
  std::string error;
  if (!fe->flashId(card, id, &error)) {
    errorLine(error);
    return 1;
  }
  char buf[80];
  snprintf(buf, sizeof buf, "%02x %02x %02x", id[0], id[1], id[2]);
  if (g.json) {
    printOut(Json().add("id", buf).add("size", static_cast<int64_t>(flashSize(id))).str());
    return 0;
  }
  printOut(std::string(buf) + " (" + std::to_string(flashSize(id) / 1024) + " KiB)");
  return 0;
}

int cmdFlashErase(Globals& g, int card) {
  auto fe = bringUp(g, StateUse::kWrite);
  if (!fe) return 1;
  std::string error;
  if (!fe->flashEraseStart(card, &error) || !waitFlashIdle(*fe, card, 60'000 * host::clock::kMs, &error)) {
    errorLine(error);
    return 1;
  }
  if (!stored(*fe)) return 1;
  if (g.json) printOut(Json().add("erased", true).str());
  return 0;
}

int cmdFlashWrite(Globals& g, int card, const std::string& file, bool verify) {
  std::string image, error;
  if (!readFile(file, image, kMaxFlashImage, &error)) {
    errorLine(error);
    return 1;
  }
  if (image.empty()) {
    errorLine(file + " is empty");
    return 1;
  }
  auto fe = bringUp(g, StateUse::kWrite);
  if (!fe) return 1;
  std::array<uint8_t, 3> id{};
  if (!fe->flashId(card, id, &error)) {
    errorLine(error);
    return 1;
  }
  if (image.size() > flashSize(id)) {
    errorLine(file + " (" + std::to_string(image.size()) + " bytes) does not fit the flash (" +
              std::to_string(flashSize(id)) + " bytes)");
    return 1;
  }
  std::vector<uint8_t> padded(image.begin(), image.end());
  padded.resize((padded.size() + kFlashPage - 1) / kFlashPage * kFlashPage, 0xFF);
  // NOR programming only clears bits: the chip is erased first.
  if (!fe->flashEraseStart(card, &error) || !waitFlashIdle(*fe, card, 60'000 * host::clock::kMs, &error)) {
    errorLine(error);
    return 1;
  }
  if (!stored(*fe)) return 1;
  for (size_t a = 0; a < padded.size(); a += kFlashPage) {
    // Stopped between pages, the flash holds what was programmed so far and says so on the next verify.
    if (interrupted()) {
      char where[96];
      snprintf(where, sizeof where, "flash write interrupted at 0x%06zx of 0x%06zx", a, padded.size());
      errorLine(std::string(where) + ": the flash holds part of " + file);
      return 1;
    }
    bool ok = false;
    for (int attempt = 0; attempt < 3 && !ok; ++attempt) {
      ok = fe->flashWritePage(card, static_cast<uint32_t>(a), padded.data() + a, &error);
      // A page the driver gave up on while the chip was still busy is tried again once it is idle.
      if (!ok && !waitFlashIdle(*fe, card, 1000 * host::clock::kMs, &error)) break;
    }
    if (!ok) {
      char where[32];
      snprintf(where, sizeof where, "0x%06zx", a);
      errorLine(std::string("flash write at ") + where + ": " + error);
      return 1;
    }
    progressBar("write ", a + kFlashPage, padded.size());
  }
  if (verify) {
    std::vector<uint8_t> back;
    if (!readFlash(*fe, card, padded.size(), back, "verify", &error)) {
      errorLine(error);
      return 1;
    }
    auto diff = std::mismatch(back.begin(), back.end(), padded.begin());
    if (diff.first != back.end()) {
      char b[96];
      snprintf(b, sizeof b, "verify failed at 0x%06zx: read 0x%02x, wrote 0x%02x",
               static_cast<size_t>(diff.first - back.begin()), *diff.first, *diff.second);
      errorLine(b);
      return 1;
    }
  }
  if (!stored(*fe)) return 1;
  if (g.json)
    printOut(Json().add("bytes", static_cast<int64_t>(padded.size())).add("verified", verify).str());
  else
    printOut("wrote " + std::to_string(padded.size()) + " bytes" + (verify ? ", verified" : ""));
  return 0;
}

int cmdFlashRead(Globals& g, int card, const std::string& file, uint64_t size) {
  auto fe = bringUp(g);
  if (!fe) return 1;
  std::array<uint8_t, 3> id{};
  std::string error;
  if (!fe->flashId(card, id, &error)) {
    errorLine(error);
    return 1;
  }
  if (size > flashSize(id)) {
    errorLine("--size " + std::to_string(size) + " exceeds the flash (" + std::to_string(flashSize(id)) +
              " bytes)");
    return 1;
  }
  std::vector<uint8_t> data;
  AtomicFile out;
  if (!out.open(file, &error) || !readFlash(*fe, card, size, data, "read  ", &error) ||
      !out.write(data.data(), data.size(), &error) || !out.commit(&error)) {
    errorLine(error);
    return 1;
  }
  if (g.json)
    printReport(Json().add("bytes", static_cast<int64_t>(size)).add("output", file).str(), out.isStdout());
  return 0;
}

int cmdRegsRead(Globals& g, int card, uint8_t slave, const std::vector<uint8_t>& sub, int len) {
  auto fe = bringUp(g);
  if (!fe) return 1;
  std::vector<uint8_t> data;
  std::string error;
  if (!fe->regsRead(card, slave, sub, static_cast<size_t>(len), data, &error)) {
    errorLine(error);
    return 1;
  }
  std::string line;
  std::vector<std::string> bytes;
  for (size_t i = 0; i < data.size(); ++i) {
    char b[8];
    snprintf(b, sizeof b, "%s0x%02x", i ? " " : "", data[i]);
    line += b;
    bytes.push_back(std::to_string(data[i]));
  }
  printOut(g.json ? Json().add("slave", static_cast<int64_t>(slave)).raw("data", jsonArray(bytes)).str()
                  : line);
  return 0;
}

int cmdRegsWrite(Globals& g, int card, uint8_t slave, const std::vector<uint8_t>& data) {
  auto fe = bringUp(g);
  if (!fe) return 1;
  std::string error;
  if (!fe->regsWrite(card, slave, data, &error)) {
    errorLine(error);
    return 1;
  }
  if (g.json)
    printOut(Json()
                 .add("slave", static_cast<int64_t>(slave))
                 .add("written", static_cast<int64_t>(data.size()))
                 .str());
  return 0;
}

}  // namespace zadivo::tool
