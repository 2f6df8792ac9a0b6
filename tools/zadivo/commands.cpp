#include "tools/zadivo/commands.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/host/clock.h"
#include "tools/zadivo/atomic_file.h"
#include "tools/zadivo/channel_file.h"
#include "tools/zadivo/report.h"
#include "tools/zadivo/scan_plan.h"
#include "tools/zadivo/state_dir.h"
#include "tools/zadivo/ts_analyzer.h"

namespace zadivo::tool {

namespace {

constexpr int64_t kLockWaitNs = 1000 * host::clock::kMs;
constexpr size_t kFlashPage = 256;

bool stderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

double platformSeconds() { return host::clock::nowNs() / 1e9; }

// A generous real-time bound for one frame: frames come every fraction of a platform second.
std::chrono::milliseconds frameTimeout() {
  const double realSeconds = 5.0 * std::max(host::clock::scale(), 0.05) + 2.0;
  return std::chrono::milliseconds(static_cast<int64_t>(realSeconds * 1000));
}

void printOut(const std::string& line) {
  fputs(line.c_str(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
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

std::unique_ptr<FrontEnd> bringUp(Globals& g) {
  std::string error;
  if (!g.airFile.empty()) {
    g.machine.air = sim::Air::load(g.airFile, &error);
    if (!g.machine.air) {
      errorLine(error.empty() ? "cannot load air file " + g.airFile : error);
      return nullptr;
    }
  }
  if (!g.stateDir.empty() && !prepareStateDir(g.stateDir, g.machine.cards, &error)) {
    errorLine(error);
    return nullptr;
  }
  g.machine.stateDir = g.stateDir;
  auto fe = FrontEnd::start(g.machine, &error);
  if (!fe) errorLine(error);
  return fe;
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
  if (o.tuned.tune.frequencyKHz) ch->waitLock(kLockWaitNs);
  const int64_t step = static_cast<int64_t>(o.interval * 1e9);
  int64_t next = host::clock::nowNs();
  for (int n = 0; o.count == 0 || n < o.count; ++n) {
    if (n) {
      next += step;
      const int64_t wait = next - host::clock::nowNs();
      if (wait > 0) host::clock::sleepNs(wait);
    }
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
  double seconds = 0;
};

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
  const int64_t startNs = host::clock::nowNs();
  const int64_t endNs = o.seconds > 0 ? startNs + static_cast<int64_t>(o.seconds * 1e9) : INT64_MAX;
  std::atomic<bool> failed{false};
  std::atomic<int> running{static_cast<int>(jobs.size())};
  std::vector<std::thread> threads;
  for (auto& jp : jobs) {
    threads.emplace_back([&, job = jp.get()] {
      std::vector<uint8_t> frame;
      uint64_t want = o.packets;
      while (!failed) {
        if (host::clock::nowNs() >= endNs) break;
        NTSTATUS s = job->channel->readFrame(frame, frameTimeout());
        if (s == STATUS_TIMEOUT) {
          job->error = channelName(job->wanted->channel) + ": no data from the card";
          failed = true;
          break;
        }
        if (!NT_SUCCESS(s)) {
          job->error = channelName(job->wanted->channel) + ": capture failed (status " + statusText(s) + ")";
          failed = true;
          break;
        }
        size_t len = frame.size();
        if (want) {
          uint64_t have;
          {
            std::lock_guard l(job->m);
            have = job->ts.packets();
          }
          len = static_cast<size_t>(std::min<uint64_t>(len, (want - have) * kTsPacket));
        }
        if (!job->out.write(frame.data(), len, &job->error)) {
          failed = true;
          break;
        }
        {
          std::lock_guard l(job->m);
          job->ts.feed(frame.data(), len);
          if (want && job->ts.packets() >= want) break;
        }
      }
      job->seconds = (host::clock::nowNs() - startNs) / 1e9;
      job->channel->stopCapture();
      --running;
    });
  }
  if (stderrIsTerminal()) {
    while (running > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      std::string line;
      const double t = (host::clock::nowNs() - startNs) / 1e9;
      for (auto& job : jobs) {
        std::lock_guard l(job->m);
        char buf[160];
        snprintf(
            buf, sizeof buf, "%s %llu pkts %.2f Mbit/s cc %llu  ", channelName(job->wanted->channel).c_str(),
            static_cast<unsigned long long>(job->ts.packets()), t > 0 ? job->ts.bytes() * 8 / t / 1e6 : 0.0,
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
    s.seconds = job->seconds;
    s.continuityErrors = job->ts.continuityErrors();
    s.syncErrors = job->ts.syncErrors();
    const std::string line = g.json ? summaryJson(s) : summaryLine(s);
    if (g.json)
      json.push_back(line);
    else if (toStdout)
      fprintf(stderr, "%s\n", line.c_str());
    else
      printOut(line);
  }
  if (g.json) {
    const std::string all = jsonArray(json);
    if (toStdout)
      fprintf(stderr, "%s\n", all.c_str());
    else
      printOut(all);
  }
  return 0;
}

// ---- scan
// --------------------------------------------------------------------------------------------------

int cmdScan(Globals& g, const ScanOptions& o) {
  std::vector<ChannelEntry> initial;
  if (!o.initialFile.empty()) {
    std::string text, error;
    if (!readFile(o.initialFile, text, &error)) {
      errorLine(error);
      return 1;
    }
    auto sections = parseChannelFile(text, o.initialFile, &error);
    auto entries = sections ? entriesOf(*sections, &error) : std::nullopt;
    if (!entries) {
      errorLine(error);
      return 1;
    }
    initial = std::move(*entries);
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
  for (const auto& c : plan) {
    ++n;
    if (stderrIsTerminal())
      fprintf(stderr, "\rscan: %zu/%zu %s ", n, plan.size(), khzText(c.frequencyKHz).c_str());
    const auto bws = c.bandwidthsHz.empty() ? std::vector<uint32_t>{0} : c.bandwidthsHz;
    const auto srs = c.symbolRatesKsps.empty() ? std::vector<uint32_t>{0} : c.symbolRatesKsps;
    bool locked = false;
    uint32_t bw = 0, sr = 0;
    for (size_t i = 0; i < bws.size() && !locked; ++i)
      for (size_t k = 0; k < srs.size() && !locked; ++k) {
        if (!error.empty()) break;
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
  fprintf(stderr, "%sscan: %zu multiplex entries found\n", stderrIsTerminal() ? "\r" : "", found.size());
  const std::string text = formatChannelFile(found);
  if (!out.write(text.data(), text.size(), &error) || !out.commit(&error)) {
    errorLine(error);
    return 1;
  }
  if (g.json) {
    if (out.isStdout())
      fprintf(stderr, "%s\n", jsonArray(json).c_str());
    else
      printOut(jsonArray(json));
  }
  return 0;
}

// ---- device storage: MAC, tuner type, flash, registers
// -----------------------------------------------------

int cmdMacGet(Globals& g, int card, int index) {
  auto fe = bringUp(g);
  if (!fe) return 1;
  Mac mac{};
  std::string error;
  if (!fe->macGet(card, index, mac, &error)) {
    errorLine(error);
    return 1;
  }
  printOut(formatMac(mac));
  return 0;
}

int cmdMacSet(Globals& g, int card, int index, const Mac& mac) {
  auto fe = bringUp(g);
  if (!fe) return 1;
  std::string error;
  if (!fe->macSet(card, index, mac, &error)) {
    errorLine(error);
    return 1;
  }
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
  if (g.json) {
    printOut(Json()
                 .add("stored", static_cast<int64_t>(type))
                 .add("running", static_cast<int64_t>(effectiveTunerType(type)))
                 .add("family", familyName(type))
                 .str());
  } else {
    printOut(std::to_string(type) + " (" + familyName(type) + ")");
  }
  return 0;
}

int cmdTunerTypeSet(Globals& g, int card, int type) {
  auto fe = bringUp(g);
  if (!fe) return 1;
  std::string error;
  if (!fe->tunerTypeSet(card, static_cast<uint8_t>(type), &error)) {
    errorLine(error);
    return 1;
  }
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
  snprintf(buf, sizeof buf, "%02x %02x %02x (%llu KiB)", id[0], id[1], id[2],
           static_cast<unsigned long long>(flashSize(id) / 1024));
  printOut(buf);
  return 0;
}

int cmdFlashErase(Globals& g, int card) {
  auto fe = bringUp(g);
  if (!fe) return 1;
  std::string error;
  if (!fe->flashEraseStart(card, &error) || !waitFlashIdle(*fe, card, 60'000 * host::clock::kMs, &error)) {
    errorLine(error);
    return 1;
  }
  return 0;
}

int cmdFlashWrite(Globals& g, int card, const std::string& file, bool verify) {
  std::string image, error;
  if (!readFile(file, image, &error)) {
    errorLine(error);
    return 1;
  }
  if (image.empty()) {
    errorLine(file + " is empty");
    return 1;
  }
  auto fe = bringUp(g);
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
  for (size_t a = 0; a < padded.size(); a += kFlashPage) {
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
  for (size_t i = 0; i < data.size(); ++i) {
    char b[8];
    snprintf(b, sizeof b, "%s0x%02x", i ? " " : "", data[i]);
    line += b;
  }
  printOut(line);
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
  return 0;
}

}  // namespace zadivo::tool
