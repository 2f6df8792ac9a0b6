#include "tools/zadivo/commands.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <thread>

#include "tools/zadivo/atomic_file.h"
#include "tools/zadivo/interrupt.h"
#include "tools/zadivo/recording.h"
#include "tools/zadivo/report.h"
#include "tools/zadivo/state_dir.h"

namespace zadivo::tool {

namespace {

constexpr size_t kFlashPage = 256;
// No flash the card takes is larger; a bigger file is not an image for it.
constexpr size_t kMaxFlashImage = size_t{1} << 28;

double platformSeconds() { return platform_time::nowNs() / 1e9; }

// The local time of day a line is read at, "14:03:21.5": the wall clock when made, advanced by platform time
// (the wall clock itself at the real time scale).
class WallClock {
 public:
  std::string text() const {
    const int64_t ms = startMs_ + (platform_time::nowNs() - platformStart_) / platform_time::kMs;
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm local{};
    localtime_r(&seconds, &local);
    char buf[32];
    snprintf(buf, sizeof buf, "%02d:%02d:%02d.%d", local.tm_hour, local.tm_min, local.tm_sec,
             static_cast<int>(ms % 1000 / 100));
    return buf;
  }

 private:
  int64_t startMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  int64_t platformStart_ = platform_time::nowNs();
};

// Sleeps until the platform clock reaches platformNs; false when interrupted first.
bool sleepUntil(int64_t platformNs) {
  while (platform_time::nowNs() < platformNs) {
    if (interrupted()) return false;
    std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(
        kInterruptPoll, std::chrono::nanoseconds(static_cast<int64_t>(
                            static_cast<double>(platformNs - platform_time::nowNs()) * platform_time::scale()))));
  }
  return !interrupted();
}

}  // namespace

std::shared_ptr<sim::Air> loadChannelFile(const std::string& path) {
  // Read here rather than by the air's reader: an interrupt ends the wait for a FIFO's writer.
  constexpr size_t kMaxChannelFile = 4u << 20;
  std::string text, error;
  if (!readFile(path, text, kMaxChannelFile, &error)) {
    errorLine(error);
    return nullptr;
  }
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  std::vector<std::string> warnings;
  auto air = sim::Air::parse(text, &error, path, dir, 1, &warnings);
  for (const auto& w : warnings) warningLine(w);
  if (!air) errorLine(interrupted() ? "interrupted while reading " + path : error);
  return air;
}

void warnSkipped(const std::vector<std::string>& systems, const std::string& origin) {
  std::map<std::string, size_t> counts;
  for (const std::string& s : systems) ++counts[s];
  std::string list;
  size_t i = 0;
  for (const auto& [system, n] : counts) {
    if (i++) list += i == counts.size() ? " and " : ", ";
    list += std::to_string(n) + " " + printable(system) + (n == 1 ? " entry" : " entries");
  }
  warningLine(origin + ": skipped " + list + ", which no tuner here receives");
}

namespace {

// The card model saves its images as the chips change: a save that failed is the command's failure.
bool stored(FrontEnd& fe) {
  const auto errors = fe.storageErrors();
  if (!errors.empty()) errorLine("not stored: " + errors.front());
  return errors.empty();
}

}  // namespace

FrontEnd* bringUp(Globals& g, StateUse use, bool records) {
  // A recording stopped here is one stopped before its first packet, and says so as any such one does.
  auto fail = [&](const std::string& what) {
    errorLine(records && interrupted() ? "nothing recorded: " + what : what);
    return nullptr;
  };
  std::string error;
  if (!g.airFile.empty() && !(g.machine.air = loadChannelFile(g.airFile))) return nullptr;
  if (!g.stateDir.empty() && !(g.state = openStateDir(g.stateDir, g.machine.cards, use, &error)))
    return fail(error);
  g.machine.stateDir = g.stateDir;
  g.frontEnd = FrontEnd::start(g.machine, &error);
  if (!g.frontEnd) return fail(error);
  if (!stored(*g.frontEnd)) return nullptr;
  if (interrupted()) return fail("interrupted while the card started");
  return g.frontEnd.get();
}

int shutDown(Globals& g, int rc) {
  if (!g.frontEnd) return rc;
  const std::vector<std::string> errors = g.abandonedThreads ? g.frontEnd->flushLogs() : g.frontEnd->stop();
  // Driver calls still running use the machine: it is left to the end of the process.
  if (g.abandonedThreads)
    (void)g.frontEnd.release();
  else
    g.frontEnd.reset();
  for (const std::string& e : errors) errorLine(e);
  return errors.empty() || rc != 0 ? rc : 1;
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
  if (g.json) printJson(jsonArray(json));
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
  if (g.json) printJson(jsonArray(json));
  return 0;
}

namespace {

// The jobs of a command's channels, their tunes checked against the family of the card each runs on. False
// after an error line: a value the family cannot take is a usage error (exit 2).
bool jobsFor(FrontEnd& fe, const std::vector<ChannelTune>& tunes, RecordJobs& jobs) {
  for (const auto& wanted : tunes) {
    auto job = std::make_unique<RecordJob>();
    job->channel = wanted.channel;
    job->tune = wanted.tune;
    job->output = wanted.output;
    job->label = channelName(wanted.channel);
    std::string error;
    const int type = wanted.channel.card < fe.cards() ? fe.runningTunerType(wanted.channel.card) : -1;
    if (!fitTuneToFamily(job->tune, job->label, type, &error)) {
      errorLine(error);
      return false;
    }
    jobs.push_back(std::move(job));
  }
  return true;
}

}  // namespace

int cmdTune(Globals& g, const ChannelTune& t) {
  auto fe = bringUp(g);
  if (!fe) return 1;
  RecordJobs jobs;
  if (!jobsFor(*fe, {t}, jobs)) return 2;
  std::string error;
  if (!tuneAll(*fe, jobs, false, false, &error)) {
    errorLine(error);
    return 1;
  }
  RecordJob& job = *jobs.front();
  SignalStats s = job.ch->stats();
  std::string noLock = s.locked ? "" : missingPlpText(*job.ch, t.channel, job.tune);
  if (!s.locked && noLock.empty()) noLock = noLockText(t.channel, job.ch->tunerType(), job.tune);
  if (g.json) {
    Json j;
    j.add("channel", channelName(t.channel)).add("frequency_khz", static_cast<int64_t>(t.tune.frequencyKHz));
    addStats(j, s);
    if (!s.locked) j.add("error", noLock).add("exit_code", static_cast<int64_t>(1));
    printJson(j.str());
  } else {
    printOut(channelName(t.channel) + " " + khzText(t.tune.frequencyKHz) + ": " + femonLine(s));
  }
  if (!s.locked) {
    errorLine(noLock);
    return 1;
  }
  return 0;
}

int cmdMonitor(Globals& g, const MonitorOptions& o) {
  auto fe = bringUp(g);
  if (!fe) return 1;
  std::string error;
  TuneParams tune = o.tuned.tune;
  const ChannelRef& ref = o.tuned.channel;
  if (ref.card < fe->cards() &&
      !fitTuneToFamily(tune, channelName(ref), fe->runningTunerType(ref.card), &error)) {
    errorLine(error);
    return 2;
  }
  auto ch = fe->openChannel(ref, false, &error);
  if (!ch || (tune.frequencyKHz && !tuneAuto(*ch, tune, &error))) {
    errorLine(error);
    return 1;
  }
  if (tune.frequencyKHz)
    ch->waitLock(kLockWaitNs);
  else
    noteLine(channelName(ref) +
             " is not tuned: each run starts the card afresh; give -f (and -b or -s) to tune it first");
  const int64_t step = static_cast<int64_t>(o.interval * 1e9);
  int64_t next = platform_time::nowNs();
  const WallClock clock;
  // The user's interrupt is how a monitor without --count ends: a normal end.
  for (int n = 0; o.count == 0 || n < o.count; ++n) {
    if (n && !sleepUntil(next += step)) break;
    SignalStats s = ch->stats();
    if (g.json) {
      Json j;
      j.add("channel", channelName(ref)).add("time", platformSeconds(), 3);
      addStats(j, s);
      printJson(j.str(), false);
    } else {
      printOut(clock.text() + " " + femonLine(s));
    }
  }
  return 0;
}

// ---- capture
// -----------------------------------------------------------------------------------------------

int cmdCapture(Globals& g, const CaptureOptions& o) {
  auto fe = bringUp(g, StateUse::kRead, true);
  if (!fe) return 1;
  const int64_t startNs = platform_time::nowNs();
  RecordJobs jobs;
  if (!jobsFor(*fe, o.channels, jobs)) return 2;
  std::string error;
  if (!tuneAll(*fe, jobs, true, true, &error)) {
    errorLine(interrupted() ? "nothing recorded: " + error : error);
    return 1;
  }
  return recordAll(g, jobs, {o.seconds, o.packets}, startNs);
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
  if (g.json)
    printJson(macJson(card, index, mac).str());
  else
    printOut(formatMac(mac));
  return 0;
}

int cmdMacSet(Globals& g, int card, int index, const Mac& mac) {
  // Stored as asked (a test bench may want it), but no network takes such an address from a tuner.
  if (std::all_of(mac.begin(), mac.end(), [](uint8_t b) { return b == 0; }))
    warningLine(formatMac(mac) + " is all zeros: no interface takes it as its address");
  else if (std::all_of(mac.begin(), mac.end(), [](uint8_t b) { return b == 0xFF; }))
    warningLine(formatMac(mac) + " is the broadcast address: no interface takes it as its address");
  else if (mac[0] & 1)
    warningLine(formatMac(mac) +
                " is a multicast address (the first byte is odd): no interface takes it as "
                "its address");
  auto fe = bringUp(g, StateUse::kWrite);
  if (!fe) return 1;
  std::string error;
  if (!fe->macSet(card, index, mac, &error)) {
    errorLine(error);
    return 1;
  }
  if (!stored(*fe)) return 1;
  if (g.json) printJson(macJson(card, index, mac).str());
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
  if (g.json)
    printJson(tunerTypeJson(type).str());
  else
    printOut(std::to_string(type) +
             (effectiveTunerType(type) == type
                  ? " (" + std::string(familyName(type)) + ")"
                  : " (no family; the card runs it as " + std::string(familyName(type)) + ")"));
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
  if (g.json) printJson(tunerTypeJson(type).str());
  return 0;
}

namespace {

void progressBar(const char* what, uint64_t done, uint64_t total) {
  if (!stderrIsTerminal() || total == 0) return;
  const int width = 40;
  const int filled = static_cast<int>(done * width / total);
  char bar[128];
  snprintf(bar, sizeof bar, "%s [%.*s%*s] %3d%%", what, filled, "########################################",
           width - filled, "", static_cast<int>(done * 100 / total));
  // The finished bar stays on the screen.
  if (done == total)
    humanLine(bar);
  else
    statusLine(bar);
}

// JEDEC id: manufacturer, type, capacity (log2 of the size in bytes). A bus that answers nothing reads all
// zeros or all ones.
bool knownFlash(const std::array<uint8_t, 3>& id) {
  return id[0] != 0x00 && id[0] != 0xFF && id[2] >= 16 && id[2] <= 28;
}

uint64_t flashSize(const std::array<uint8_t, 3>& id) {
  return id[2] >= 16 && id[2] <= 28 ? uint64_t(1) << id[2] : 4u << 20;
}

std::string idText(const std::array<uint8_t, 3>& id) {
  char buf[16];
  snprintf(buf, sizeof buf, "%02x %02x %02x", id[0], id[1], id[2]);
  return buf;
}

std::string hexAddress(size_t a) {
  char buf[24];
  snprintf(buf, sizeof buf, "0x%06zx", a);
  return buf;
}

bool waitFlashIdle(FrontEnd& fe, int card, int64_t platformNs, std::string* error) {
  const int64_t deadline = platform_time::nowNs() + platformNs;
  while (true) {
    bool idle = false;
    if (!fe.flashIdle(card, idle, error)) return false;
    if (idle) return true;
    if (platform_time::nowNs() >= deadline) {
      if (error) *error = "flash stays busy";
      return false;
    }
    platform_time::sleepNs(10 * platform_time::kMs);
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
  if (g.json) {
    printJson(Json().add("id", idText(id)).add("size", static_cast<int64_t>(flashSize(id))).str());
    return 0;
  }
  printOut(idText(id) + " (" + std::to_string(flashSize(id) / 1024) + " KiB)");
  return 0;
}

int cmdFlashErase(Globals& g, int card) {
  auto fe = bringUp(g, StateUse::kWrite);
  if (!fe) return 1;
  std::string error;
  if (!fe->flashEraseStart(card, &error) || !waitFlashIdle(*fe, card, 60'000 * platform_time::kMs, &error)) {
    errorLine(error);
    return 1;
  }
  if (!stored(*fe)) return 1;
  if (g.json) printJson(Json().add("erased", true).str());
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
  // The chip is erased whole: nothing is touched before it is known to be a flash the image fits.
  std::array<uint8_t, 3> id{};
  if (!fe->flashId(card, id, &error)) {
    errorLine(error + "; nothing erased");
    return 1;
  }
  if (!knownFlash(id)) {
    errorLine("flash id " + idText(id) + " names no serial NOR flash of a known size; nothing erased");
    return 1;
  }
  if (image.size() > flashSize(id)) {
    errorLine(file + " (" + std::to_string(image.size()) + " bytes) does not fit the flash (" +
              std::to_string(flashSize(id)) + " bytes); nothing erased");
    return 1;
  }
  std::vector<uint8_t> padded(image.begin(), image.end());
  padded.resize((padded.size() + kFlashPage - 1) / kFlashPage * kFlashPage, 0xFF);
  const std::string range = hexAddress(0) + ".." + hexAddress(padded.size() - 1);
  if (verify) {
    // What a write cut short (a killed process, a lost card) left is told before it is written again.
    std::vector<uint8_t> before;
    if (!readFlash(*fe, card, padded.size(), before, "check ", &error)) {
      errorLine(error + "; nothing erased");
      return 1;
    }
    // Written in page order after an erase: the image up to a page, blank from the next one on.
    const size_t from = static_cast<size_t>(
        std::mismatch(before.begin(), before.end(), padded.begin()).first - before.begin());
    const size_t nextPage = std::min(before.size(), (from / kFlashPage + 1) * kFlashPage);
    if (from > 0 && from < before.size() &&
        std::all_of(before.begin() + nextPage, before.end(), [](uint8_t b) { return b == 0xFF; }))
      noteLine("the flash holds " + file + " only below " + hexAddress(from) +
               ": an earlier write was cut short; writing it again");
  }
  // NOR programming only clears bits: the chip is erased first.
  if (!fe->flashEraseStart(card, &error) || !waitFlashIdle(*fe, card, 60'000 * platform_time::kMs, &error)) {
    errorLine(error);
    return 1;
  }
  if (!stored(*fe)) return 1;
  // What the flash holds when the write stops at a page: what was programmed so far.
  auto holds = [&](size_t a) {
    return a ? "the flash holds " + file + " only below " + hexAddress(a) : "the flash holds none of " + file;
  };
  for (size_t a = 0; a < padded.size(); a += kFlashPage) {
    // Stopped between pages, the flash says so on the next verify.
    if (interrupted()) {
      errorLine("flash write interrupted at " + hexAddress(a) + " of " + range + ": " + holds(a) +
                "; write it again");
      return 1;
    }
    bool ok = false;
    for (int attempt = 0; attempt < 3 && !ok; ++attempt) {
      ok = fe->flashWritePage(card, static_cast<uint32_t>(a), padded.data() + a, &error);
      // A page the driver gave up on while the chip was still busy is tried again once it is idle.
      if (!ok && !waitFlashIdle(*fe, card, 1000 * platform_time::kMs, &error)) break;
    }
    if (!ok) {
      errorLine("flash write at " + hexAddress(a) + ": " + error + "; " + holds(a));
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
  // The image's own bytes; the rest of its last page is the blank flash (0xFF) the write padded it with.
  const bool wasPadded = padded.size() > image.size();
  if (g.json) {
    Json j;
    j.add("bytes", static_cast<int64_t>(image.size()))
        .add("first", static_cast<int64_t>(0))
        .add("last", static_cast<int64_t>(image.size() - 1));
    if (wasPadded) j.add("padded_last", static_cast<int64_t>(padded.size() - 1));
    printJson(j.add("verified", verify).str());
  } else {
    std::string text = "wrote " + file + " to " + hexAddress(0) + ".." + hexAddress(image.size() - 1) + " (" +
                       std::to_string(image.size()) + " bytes";
    if (wasPadded) text += "; its last page padded with 0xFF to " + hexAddress(padded.size() - 1);
    printOut(text + ")" + (verify ? ", verified" : ""));
  }
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
  if (g.json) printJson(Json().add("bytes", static_cast<int64_t>(size)).add("output", file).str());
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
  if (g.json)
    printJson(Json().add("slave", static_cast<int64_t>(slave)).raw("data", jsonArray(bytes)).str());
  else
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
  if (g.json)
    printJson(Json()
                  .add("slave", static_cast<int64_t>(slave))
                  .add("written", static_cast<int64_t>(data.size()))
                  .str());
  return 0;
}

}  // namespace zadivo::tool
