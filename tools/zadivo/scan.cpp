// scan: the plan spread over every free tuner of the family at once; at each lock the services are read from
// the stream's tables and stored by libdvbv5, one channel-file entry per service; the results are merged in
// frequency order.
#include <libdvbv5/dvb-frontend.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "tools/zadivo/atomic_file.h"
#include "tools/zadivo/channel_file.h"
#include "tools/zadivo/commands.h"
#include "tools/zadivo/dvb_channels.h"
#include "tools/zadivo/interrupt.h"
#include "tools/zadivo/recording.h"
#include "tools/zadivo/report.h"
#include "tools/zadivo/scan_plan.h"
#include "tools/zadivo/si.h"

namespace zadivo::tool {

namespace {

// dvbv5-scan's own bounds are 1 to 2 s per table; our streams repeat theirs ten times a second.
constexpr int64_t kSiWaitNs = 3000 * platform_time::kMs;
// Below this there is nothing at the frequency worth trying other settings for.
constexpr double kSignalFloorDbm = -90.0;
// After an interrupt, how long the scan waits for tuners to leave what they are doing. A tune the driver is
// committing cannot be cut short (a DVB-T commit tries DVB-T2 for seconds first): the scan ends without it.
constexpr auto kStopGrace = std::chrono::milliseconds(500);
// Progress when standard error is not a terminal.
constexpr auto kProgressEvery = std::chrono::seconds(5);

struct FoundMux {
  ChannelEntry mux;  // the delivery keys, named after the multiplex
  SignalStats stats;
  DvbChannels channels;  // its services, or the multiplex itself
  std::vector<std::string> warnings;
};

// What became of a candidate: looked at to the end, cut short by the user, or refused by the driver.
enum class Outcome { kDone, kUnfinished, kFailed };

class ScanWorker {
 public:
  ScanWorker(std::unique_ptr<Channel> ch, int type, bool services)
      : ch_(std::move(ch)), type_(type), services_(services) {}

  // What is on air at a candidate; kFailed with *error when the driver refused a request.
  Outcome scan(const ScanCandidate& c, std::vector<FoundMux>& found, std::string* error);

 private:
  bool attempt(uint32_t khz, uint32_t bw, uint32_t sr, int32_t stream, std::string* error) {
    if (interrupted() || !ch_->tune(TuneParams{khz, bw, sr, stream}, error)) return false;
    return ch_->waitLock(0) || ch_->waitLock(kLockWaitNs / 4, [] { return !interrupted(); });
  }
  bool signal() { return strengthDbm(ch_->stats().strength) >= kSignalFloorDbm; }
  // False when the user interrupted before the tables were complete.
  bool readServices(FoundMux& m);

  std::unique_ptr<Channel> ch_;
  int type_;
  bool services_;
  bool captured_ = false;
};

Outcome ScanWorker::scan(const ScanCandidate& c, std::vector<FoundMux>& found, std::string* error) {
  // An interrupt leaves what was being looked at unfinished: neither found nor absent.
  auto cut = [&] { return !error->empty() ? Outcome::kFailed : Outcome::kUnfinished; };
  const auto bws = c.bandwidthsHz.empty() ? std::vector<uint32_t>{0} : c.bandwidthsHz;
  const auto srs = c.symbolRatesKsps.empty() ? std::vector<uint32_t>{0} : c.symbolRatesKsps;
  bool locked = false;
  uint32_t bw = 0, sr = 0;
  error->clear();
  for (size_t i = 0; i < bws.size() && !locked && error->empty(); ++i)
    for (size_t k = 0; k < srs.size() && !locked && error->empty(); ++k) {
      bw = bws[i];
      sr = srs[k];
      locked = attempt(c.frequencyKHz, bw, sr, -1, error);
      // Only signal at the frequency is worth the other settings.
      if (!locked && error->empty() && !signal()) i = bws.size(), k = srs.size();
    }
  // A carrier of several streams (TSMF) may lock only with one selected. Its streams are numbered from 1,
  // so a carrier whose first stream does not lock is not worth the others.
  std::vector<int32_t> streams;
  const std::vector<int32_t> ids = probedStreamIds(type_);
  if (!locked && error->empty() && !ids.empty() && signal() &&
      attempt(c.frequencyKHz, bw, sr, ids.front(), error)) {
    streams.push_back(ids.front());
    for (size_t i = 1; i < ids.size() && error->empty(); ++i)
      if (attempt(c.frequencyKHz, bw, sr, ids[i], error)) streams.push_back(ids[i]);
    locked = true;
  }
  if (!error->empty() || interrupted()) return cut();
  if (!locked) return Outcome::kDone;
  const SignalStats stats = ch_->stats();
  ChannelEntry e;
  e.deliverySystem = deliverySystemOf(type_);
  e.frequencyHz = uint64_t(c.frequencyKHz) * 1000;
  e.bandwidthHz = c.bandwidthsHz.empty() ? 0 : bw;
  e.symbolRate = sr * 1000;
  e.modulation = modulationOf(type_, e.symbolRate);
  if (effectiveTunerType(type_) == 1) {
    for (uint8_t plp : ch_->dataPlps()) streams.push_back(plp);
    if (!streams.empty()) e.deliverySystem = "DVBT2";
  } else if (streams.empty()) {
    for (int32_t id : probedStreamIds(type_))
      if (attempt(c.frequencyKHz, bw, sr, id, error)) streams.push_back(id);
    if (!error->empty() || interrupted()) return cut();
  }
  if (streams.empty()) streams.push_back(-1);
  for (int32_t id : streams) {
    FoundMux m;
    m.mux = e;
    m.mux.streamId = id;
    m.mux.name = std::string(e.deliverySystem) + " " + khzText(c.frequencyKHz) +
                 (id >= 0 ? " stream " + std::to_string(id) : "");
    m.stats = stats;
    // A stream of several is read with it selected; a single one is still tuned from the lock above.
    const bool tuned = streams.size() == 1 && id < 0;
    if (services_ && (tuned || attempt(c.frequencyKHz, bw, sr, id, error))) {
      if (!readServices(m)) return Outcome::kUnfinished;
    } else if (services_ && error->empty() && !interrupted()) {
      m.warnings.push_back("no lock again with the stream selected: services not read");
    }
    if (!error->empty() || interrupted()) return cut();
    if (m.channels.size() == 0) m.channels.addMultiplex(m.mux);
    found.push_back(std::move(m));
  }
  return Outcome::kDone;
}

bool ScanWorker::readServices(FoundMux& m) {
  // A capture run again starts with what the ring kept of the previous multiplex (less than a frame) and
  // frames nobody read: both go unread.
  ch_->dropFrames();
  std::string error;
  if (!ch_->startCapture(&error)) {
    m.warnings.push_back("no stream: " + error);
    return true;
  }
  bool skip = captured_;
  captured_ = true;
  SiCollector si(siKindOf(type_));
  const int64_t deadline = platform_time::nowNs() + kSiWaitNs;
  std::vector<uint8_t> frame;
  while (!si.complete() && platform_time::nowNs() < deadline && !interrupted()) {
    const NTSTATUS s = ch_->readFrame(frame, kInterruptPoll);
    if (s == STATUS_TIMEOUT) continue;
    if (s != STATUS_SUCCESS) break;
    if (!std::exchange(skip, false)) si.feed(frame.data(), frame.size());
  }
  ch_->stopCapture();
  // Tables cut short by the user are not tables missing from the air.
  if (!si.complete() && interrupted()) return false;
  if (!si.complete())
    m.warnings.push_back("no " + si.missing() + " within " + std::to_string(kSiWaitNs / 1000000000) + " s");
  const int system = dvbDeliverySystem(m.mux.deliverySystem);
  Tables tables = si.take(static_cast<uint32_t>(system < 0 ? SYS_UNDEFINED : system));
  if (tables) m.channels.addServices(*tables, m.mux, si.utf8Names());
  return true;
}

// Skips the entries of families the card does not receive, with a warning counting them.
std::vector<ChannelEntry> receivable(int type, std::vector<ChannelEntry> entries, const std::string& origin) {
  std::vector<std::string> skipped;
  std::erase_if(entries, [&](const ChannelEntry& e) {
    const bool other = !e.deliverySystem.empty() && !familyReceives(type, e.deliverySystem);
    if (other) skipped.push_back(e.deliverySystem);
    return other;
  });
  if (!skipped.empty()) warnSkipped(skipped, origin);
  return entries;
}

std::string counted(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The scan's state shared with its tuners' threads. Threads still inside a driver call when the scan ends
// keep it alive; whatever they bring back then is not taken.
struct ScanRun {
  explicit ScanRun(ScanPlan p, size_t tuners) : plan(std::move(p)), current(tuners) {}
  const ScanPlan plan;
  std::atomic<uint64_t> next{0};
  std::mutex m;  // guards what follows
  std::condition_variable changed;
  size_t running = 0;
  uint64_t done = 0;
  bool failed = false;
  bool closed = false;  // the results were taken
  std::string firstError;
  std::map<uint64_t, std::vector<FoundMux>> results;  // by plan index
  std::vector<uint32_t> unfinished;                   // kHz
  std::vector<std::optional<uint32_t>> current;       // per tuner: the frequency in hand
};

void scanWith(ScanWorker* w, size_t index, const std::shared_ptr<ScanRun>& run, bool services) {
  std::string err;
  for (uint64_t i; !interrupted() && (i = run->next++) < run->plan.size();) {
    const ScanCandidate c = run->plan.at(i);
    {
      std::lock_guard l(run->m);
      if (run->failed || run->closed) break;
      run->current[index] = c.frequencyKHz;
    }
    std::vector<FoundMux> found;
    const Outcome outcome = w->scan(c, found, &err);
    std::lock_guard l(run->m);
    run->current[index].reset();
    if (run->closed) break;
    if (outcome == Outcome::kFailed) {
      if (run->firstError.empty()) run->firstError = err;
      run->failed = true;
      break;
    }
    if (outcome == Outcome::kUnfinished) {
      run->unfinished.push_back(c.frequencyKHz);
      break;
    }
    ++run->done;
    for (const FoundMux& f : found) {
      std::string names;
      if (services)
        for (const std::string& n : f.channels.names()) names += (names.empty() ? ": " : ", ") + printable(n);
      humanLine("scan: found " + f.mux.name + names + " (" + femonLine(f.stats) + ")");
      for (const std::string& warning : f.warnings) warningLine(f.mux.name + ": " + warning);
    }
    if (!found.empty()) run->results.emplace(i, std::move(found));
  }
  std::lock_guard l(run->m);
  --run->running;
  run->changed.notify_all();
}

std::string progressText(const ScanRun& run) {
  size_t muxes = 0;
  for (const auto& [index, found] : run.results) muxes += found.size();
  return "scan: " + std::to_string(run.done) + " of " + counted(run.plan.size(), "frequency", "frequencies") +
         ", " + counted(muxes, "multiplex", "multiplexes") + " found";
}

}  // namespace

int cmdScan(Globals& g, const ScanOptions& o) {
  // The initial list is read as an air file is: one reader for every channel file the tool takes.
  std::vector<ChannelEntry> initial;
  if (!o.initialFile.empty()) {
    auto listed = loadChannelFile(o.initialFile);
    if (!listed) return 1;
    for (const auto& m : listed->multiplexes()) {
      ChannelEntry e;
      e.name = m.name;
      e.deliverySystem = sim::deliverySystemName(m.system);
      e.frequencyHz = m.frequencyHz;
      e.bandwidthHz = m.bandwidthHz;
      e.symbolRate = m.symbolRate;
      initial.push_back(std::move(e));
    }
  }
  auto fe = bringUp(g);
  if (!fe) return 1;
  const int card = o.channels.empty() ? 0 : o.channels.front().card;
  if (card >= fe->cards()) {
    errorLine("no card " + std::to_string(card) + " (cards: " + std::to_string(fe->cards()) + ")");
    return 1;
  }
  const int type = fe->runningTunerType(card);
  if (type < 0) {
    errorLine("card " + std::to_string(card) + " does not report its tuner type");
    return 1;
  }
  std::string error;
  ScanPlan plan;
  if (!o.initialFile.empty()) {
    initial = receivable(type, std::move(initial), o.initialFile);
    if (initial.empty()) {
      errorLine(o.initialFile + " has no entry the " + std::string(familyName(type)) + " card receives");
      return 1;
    }
    plan = initialPlan(type, initial);
  } else if (!o.country.empty()) {
    auto p = countryPlan(type, o.country, &error);
    if (!p) {
      errorLine(error);
      return 2;
    }
    plan = std::move(*p);
  } else {
    plan = o.stepKHz ? rangePlan(type, o.fromKHz, o.toKHz, o.stepKHz) : defaultPlan(type);
  }

  // Every tuner of the family, or the ones named; those another program holds are left to it.
  std::vector<ChannelRef> refs = o.channels;
  if (refs.empty())
    for (int c = 0; c < fe->cards(); ++c)
      if (fe->runningTunerType(c) == type)
        for (int i = 0; i < kChannelsPerCard; ++i) refs.push_back({c, i});
  std::vector<std::unique_ptr<ScanWorker>> workers;
  for (const ChannelRef& ref : refs) {
    if (o.tuners && workers.size() >= size_t(o.tuners)) break;
    if (ref.card >= fe->cards()) {
      errorLine("no card " + std::to_string(ref.card) + " (cards: " + std::to_string(fe->cards()) + ")");
      return 1;
    }
    if (fe->runningTunerType(ref.card) != type) {
      errorLine("channel " + channelName(ref) + " is not on a " + familyName(type) + " card");
      return 1;
    }
    auto ch = fe->openChannel(ref, o.services, &error);
    if (ch) workers.push_back(std::make_unique<ScanWorker>(std::move(ch), type, o.services));
  }
  if (workers.empty()) {
    errorLine("no free tuner to scan with: " + error);
    return 1;
  }
  AtomicFile out;
  if (!out.open(o.output, &error)) {
    errorLine(error);
    return 1;
  }

  auto run = std::make_shared<ScanRun>(std::move(plan), workers.size());
  run->running = workers.size();
  std::vector<std::thread> threads;
  for (size_t i = 0; i < workers.size(); ++i)
    threads.emplace_back(scanWith, workers[i].get(), i, run, o.services);
  const bool terminal = stderrIsTerminal();
  std::unique_lock lock(run->m);
  auto nextProgress = std::chrono::steady_clock::now() + kProgressEvery;
  std::optional<std::chrono::steady_clock::time_point> stopping;
  while (run->running > 0) {
    run->changed.wait_for(lock, kInterruptPoll);
    const auto now = std::chrono::steady_clock::now();
    if (interrupted() && !stopping) {
      stopping = now;
      humanLine("scan: stopping...");
    }
    if (stopping && now - *stopping >= kStopGrace) break;
    if (stopping || (!terminal && now < nextProgress)) continue;
    nextProgress = now + kProgressEvery;
    if (terminal)
      statusLine(progressText(*run));
    else
      humanLine(progressText(*run));
  }
  // The tuners still busy are left where they are; what they had in hand is not finished.
  const bool abandoned = run->running > 0;
  run->closed = true;
  for (const auto& khz : run->current)
    if (khz) run->unfinished.push_back(*khz);
  const bool failed = run->failed;
  const std::string firstError = run->firstError;
  auto results = std::move(run->results);
  std::vector<uint32_t> unfinished = run->unfinished;
  const uint64_t done = run->done;
  lock.unlock();
  if (abandoned) {
    for (auto& t : threads) t.detach();
    for (auto& w : workers) (void)w.release();
    g.abandonedThreads = true;
  } else {
    for (auto& t : threads) t.join();
    workers.clear();
  }
  if (failed) {
    errorLine(firstError);
    return 1;
  }

  std::vector<FoundMux> all;
  for (auto& [index, found] : results)
    for (FoundMux& f : found) all.push_back(std::move(f));
  std::stable_sort(all.begin(), all.end(), [](const FoundMux& a, const FoundMux& b) {
    return std::tie(a.mux.frequencyHz, a.mux.streamId) < std::tie(b.mux.frequencyHz, b.mux.streamId);
  });
  DvbChannels file;
  std::vector<std::string> json;
  for (FoundMux& f : all) {
    if (g.json) {
      Json j;
      j.add("name", f.mux.name)
          .add("delivery_system", f.mux.deliverySystem)
          .add("frequency_hz", static_cast<int64_t>(f.mux.frequencyHz));
      if (f.mux.bandwidthHz) j.add("bandwidth_hz", static_cast<int64_t>(f.mux.bandwidthHz));
      if (f.mux.symbolRate) j.add("symbol_rate", static_cast<int64_t>(f.mux.symbolRate));
      if (f.mux.streamId >= 0) j.add("stream_id", static_cast<int64_t>(f.mux.streamId));
      if (o.services) {
        std::vector<std::string> names;
        for (const std::string& n : f.channels.names()) names.push_back(jsonString(n));
        j.raw("services", jsonArray(names));
      }
      addStats(j, f.stats);
      json.push_back(j.str());
    }
    file.append(std::move(f.channels));
  }
  // What was found stands when the user stops the scan; what was cut short is named, not written.
  std::string summary;
  if (interrupted())
    summary += "interrupted after " + std::to_string(done) + " of " +
               counted(run->plan.size(), "frequency", "frequencies") + ": ";
  summary += o.services ? counted(file.size(), "service", "services") + " on " +
                              counted(all.size(), "multiplex", "multiplexes")
                        : counted(all.size(), "multiplex", "multiplexes") + " found";
  if (!unfinished.empty()) {
    std::sort(unfinished.begin(), unfinished.end());
    summary += "; not finished:";
    for (size_t i = 0; i < unfinished.size(); ++i) summary += (i ? ", " : " ") + khzText(unfinished[i]);
  }
  // An interrupt before anything was found leaves a file it would replace as it was.
  if (interrupted() && all.empty()) {
    out.abandon();
    errorLine(summary + (out.isStdout() ? "" : "; " + o.output + " not written"));
    return 1;
  }
  std::string text, renamed;
  if (!file.text(text, o.country, &error, &renamed) || !out.write(text.data(), text.size(), &error) ||
      !out.commit(&error)) {
    errorLine(error);
    return 1;
  }
  if (!renamed.empty()) warningLine(printable(renamed));
  if (!out.isStdout()) summary += "; written to " + o.output;
  humanLine("scan: " + summary);
  if (g.json) printJson(jsonArray(json));
  // What was written stands, but a script must not take it for the whole plan's result.
  return interrupted() && done < run->plan.size() ? 1 : 0;
}

}  // namespace zadivo::tool
