// scan: the plan spread over every free tuner of the family at once; at each lock the services are read from
// the stream's tables and stored by libdvbv5, one channel-file entry per service; the results are merged in
// frequency order.
#include <libdvbv5/dvb-frontend.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "platform/host/clock.h"
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
constexpr int64_t kSiWaitNs = 3000 * host::clock::kMs;
// Below this there is nothing at the frequency worth trying other settings for.
constexpr double kSignalFloorDbm = -90.0;

struct FoundMux {
  ChannelEntry mux;  // the delivery keys, named after the multiplex
  SignalStats stats;
  DvbChannels channels;  // its services, or the multiplex itself
  std::vector<std::string> warnings;
};

class ScanWorker {
 public:
  ScanWorker(std::unique_ptr<Channel> ch, int type, bool services)
      : ch_(std::move(ch)), type_(type), services_(services) {}

  // What is on air at a candidate. False with *error when the driver refused a request.
  bool scan(const ScanCandidate& c, std::vector<FoundMux>& found, std::string* error);

 private:
  bool attempt(uint32_t khz, uint32_t bw, uint32_t sr, int32_t stream, std::string* error) {
    if (!ch_->tune(TuneParams{khz, bw, sr, stream}, error)) return false;
    return ch_->waitLock(0) || ch_->waitLock(kLockWaitNs / 4);
  }
  bool signal() { return strengthDbm(ch_->stats().strength) >= kSignalFloorDbm; }
  void readServices(FoundMux& m);

  std::unique_ptr<Channel> ch_;
  int type_;
  bool services_;
  bool captured_ = false;
};

bool ScanWorker::scan(const ScanCandidate& c, std::vector<FoundMux>& found, std::string* error) {
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
  if (!error->empty()) return false;
  if (!locked) return true;
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
    if (!error->empty()) return false;
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
    if (services_ && (tuned || attempt(c.frequencyKHz, bw, sr, id, error)))
      readServices(m);
    else if (services_ && error->empty())
      m.warnings.push_back("no lock again with the stream selected: services not read");
    if (!error->empty()) return false;
    if (m.channels.size() == 0) m.channels.addMultiplex(m.mux);
    found.push_back(std::move(m));
  }
  return true;
}

void ScanWorker::readServices(FoundMux& m) {
  // A capture run again starts with what the ring kept of the previous multiplex (less than a frame) and
  // frames nobody read: both go unread.
  ch_->dropFrames();
  std::string error;
  if (!ch_->startCapture(&error)) {
    m.warnings.push_back("no stream: " + error);
    return;
  }
  bool skip = captured_;
  captured_ = true;
  SiCollector si(siKindOf(type_));
  const int64_t deadline = host::clock::nowNs() + kSiWaitNs;
  std::vector<uint8_t> frame;
  while (!si.complete() && host::clock::nowNs() < deadline && !interrupted()) {
    if (ch_->readFrame(frame, frameTimeout()) != STATUS_SUCCESS) break;
    if (!std::exchange(skip, false)) si.feed(frame.data(), frame.size());
  }
  ch_->stopCapture();
  if (!si.complete())
    m.warnings.push_back("no " + si.missing() + " within " + std::to_string(kSiWaitNs / 1000000000) + " s");
  const int system = dvbDeliverySystem(m.mux.deliverySystem);
  Tables tables = si.take(static_cast<uint32_t>(system < 0 ? SYS_UNDEFINED : system));
  if (tables) m.channels.addServices(*tables, m.mux, si.utf8Names());
}

// Skips the entries of families the card does not receive, with a warning naming them.
std::vector<ChannelEntry> receivable(int type, std::vector<ChannelEntry> entries, const std::string& origin) {
  std::vector<std::string> skipped;
  std::erase_if(entries, [&](const ChannelEntry& e) {
    const bool other = !e.deliverySystem.empty() && !familyReceives(type, e.deliverySystem);
    if (other) skipped.push_back("[" + e.name + "] (" + e.deliverySystem + ")");
    return other;
  });
  if (!skipped.empty()) warnSkipped(skipped, origin);
  return entries;
}

}  // namespace

void warnSkipped(const std::vector<std::string>& skipped, const std::string& origin) {
  constexpr size_t kNamed = 8;
  std::string list;
  for (size_t i = 0; i < skipped.size() && i < kNamed; ++i) list += (i ? ", " : "") + skipped[i];
  if (skipped.size() > kNamed) list += " and " + std::to_string(skipped.size() - kNamed) + " more";
  errorLine("warning: " + origin + ": skipped " + std::to_string(skipped.size()) +
            " entries of families no tuner here receives: " + list);
}

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
      return 1;
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

  std::atomic<uint64_t> next{0}, done{0};
  std::atomic<bool> failed{false};
  std::mutex m;  // guards results, firstError and stderr
  std::map<uint64_t, std::vector<FoundMux>> results;
  std::string firstError;
  auto work = [&](ScanWorker* w) {
    std::string err;
    for (uint64_t i; !failed && !interrupted() && (i = next++) < plan.size();) {
      const ScanCandidate c = plan.at(i);
      std::vector<FoundMux> found;
      const bool ok = w->scan(c, found, &err);
      std::lock_guard l(m);
      if (!ok) {
        if (firstError.empty()) firstError = err;
        failed = true;
        break;
      }
      ++done;
      for (const FoundMux& f : found) {
        std::string names;
        if (o.services)
          for (const std::string& n : f.channels.names()) names += (names.empty() ? ": " : ", ") + n;
        fprintf(stderr, "%sscan: found %s%s (%s)\n", stderrIsTerminal() ? "\r" : "", f.mux.name.c_str(),
                names.c_str(), femonLine(f.stats).c_str());
        for (const std::string& warning : f.warnings)
          fprintf(stderr, "zadivo: warning: %s: %s\n", f.mux.name.c_str(), warning.c_str());
      }
      if (stderrIsTerminal())
        fprintf(stderr, "\rscan: %llu/%llu %s ", static_cast<unsigned long long>(done.load()),
                static_cast<unsigned long long>(plan.size()), khzText(c.frequencyKHz).c_str());
      if (!found.empty()) results.emplace(i, std::move(found));
    }
  };
  std::vector<std::thread> threads;
  for (auto& w : workers) threads.emplace_back(work, w.get());
  for (auto& t : threads) t.join();
  workers.clear();
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
  // What was found stands when the user stops the scan.
  const std::string counted =
      o.services ? std::to_string(file.size()) + " services on " + std::to_string(all.size()) + " multiplexes"
                 : std::to_string(all.size()) + " multiplex entries found";
  fprintf(stderr, "%sscan: ", stderrIsTerminal() ? "\r" : "");
  if (interrupted())
    fprintf(stderr,
            "interrupted after %llu of %llu frequencies: ", static_cast<unsigned long long>(done.load()),
            static_cast<unsigned long long>(plan.size()));
  fprintf(stderr, "%s\n", counted.c_str());
  std::string text;
  if (!file.text(text, o.country, &error) || !out.write(text.data(), text.size(), &error) ||
      !out.commit(&error)) {
    errorLine(error);
    return 1;
  }
  if (g.json) printReport(jsonArray(json), out.isStdout());
  return 0;
}

}  // namespace zadivo::tool
