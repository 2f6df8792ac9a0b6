#include "tools/zadivo/recording.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

#include "tools/zadivo/commands.h"
#include "tools/zadivo/interrupt.h"
#include "tools/zadivo/report.h"
#include "tools/zadivo/scan_plan.h"

namespace zadivo::tool {

namespace {

// PSI comes several times a second; a PMT missing for this long of stream is not coming.
constexpr double kServiceWaitSeconds = 5;
// A stream without a PCR for this long of platform time is measured by the platform's clock.
constexpr int64_t kNoPcrAfterNs = 1000 * platform_time::kMs;
// How often a lock wait reads the statistics it shows; how often a terminal's status line is redrawn while
// tuning, and (in platform time, as femon does) while recording.
constexpr int64_t kStatusEveryNs = 250 * platform_time::kMs;
constexpr auto kRedraw = std::chrono::milliseconds(200);
constexpr int64_t kRecordingStatusEveryNs = 1000 * platform_time::kMs;

// Families that select a stream: DVB-T2 PLPs, DVB-C2 PLPs, ISDB-C TSMF streams.
bool selectsStreams(int type) { return type == 1 || type == 7 || type == 8; }

// A lock wait's poll that tells status the lock state now and then, and gives up at the user's interrupt.
std::function<bool()> showingLockState(Channel& ch, const TuneStatus& status) {
  return [&ch, &status, shown = platform_time::nowNs() - kStatusEveryNs]() mutable {
    if (status && platform_time::nowNs() - shown >= kStatusEveryNs) {
      shown = platform_time::nowNs();
      status(femonLine(ch.stats()), false);
    }
    return !interrupted();
  };
}

// "locked after 4.0 s", with the system found where the family has two.
std::string lockedText(Channel& ch, double seconds) {
  char text[64];
  snprintf(text, sizeof text, "locked after %.1f s", seconds);
  if (effectiveTunerType(ch.tunerType()) != 1) return text;
  // A DVB-T2 signal lists its data PLPs; a DVB-T one has none.
  return text + std::string(ch.dataPlps().empty() ? " (DVB-T)" : " (DVB-T2)");
}

}  // namespace

std::chrono::milliseconds frameTimeout() {
  const double realSeconds = 5.0 * std::max(platform_time::scale(), 0.05) + 2.0;
  return std::chrono::milliseconds(static_cast<int64_t>(realSeconds * 1000));
}

std::string khzText(uint32_t khz) { return std::to_string(khz) + " kHz"; }

std::string noLockText(const ChannelRef& ref, int tunerType, const TuneParams& p) {
  std::string text = "no lock on " + channelName(ref) + " at " + khzText(p.frequencyKHz);
  if (tunerType < 0) return text;
  const int type = effectiveTunerType(tunerType);
  text += std::string(" (") + familyName(type) + " tuner, type " + std::to_string(tunerType) + ")";
  if (type == 8 && p.streamId < 0)
    text += ": ISDB-C locks with its TSMF stream selected: give its TS id with --plp N";
  else if (type == 1 && p.streamId >= 0)
    text += ": with --plp only DVB-T2 is tried; leave it out for a DVB-T multiplex";
  return text;
}

std::string missingPlpText(Channel& ch, const ChannelRef& ref, const TuneParams& p) {
  if (p.streamId < 0 || effectiveTunerType(ch.tunerType()) != 1 || interrupted()) return {};
  TuneParams any = p;
  any.streamId = -1;
  std::string error;
  if (!tuneAuto(ch, any, &error) || !ch.waitLock(kLockWaitNs) || interrupted()) return {};
  // DVB-T has no PLPs: what noLockText says then is all there is to say.
  const std::vector<uint8_t> plps = ch.dataPlps();
  if (plps.empty() || std::find(plps.begin(), plps.end(), p.streamId) != plps.end()) return {};
  std::string list;
  for (uint8_t id : plps) list += (list.empty() ? "" : ", ") + std::to_string(id);
  return noLockText(ref, ch.tunerType(), any) + ": PLP " + std::to_string(p.streamId) +
         " is not there (PLPs found: " + list + ")";
}

bool fitTuneToFamily(TuneParams& p, const std::string& channel, int tunerType, std::string* error) {
  if (tunerType < 0) return true;
  const int type = effectiveTunerType(tunerType);
  const std::string family = familyName(type);
  // The cable families take no bandwidth.
  if (p.bandwidthHz && familyBandwidths(type).empty()) {
    warningLine(channel + ": -b does not apply to " + family + " (its channels have no bandwidth to set)");
    p.bandwidthHz = 0;
  } else if (std::string takes = p.bandwidthHz ? bandwidthProblem(type, p.bandwidthHz) : ""; !takes.empty()) {
    if (error)
      *error = channel + ": -b " + std::to_string(p.bandwidthHz / 1000000) + ": " + family + " takes -b " +
               takes.substr(0, takes.size() - 4) + " (MHz)";
    return false;
  }
  if (std::string takes = p.symbolRateKsps ? symbolRateProblem(type, uint64_t{p.symbolRateKsps} * 1000) : "";
      !takes.empty()) {
    if (error)
      *error = channel + ": -s " + std::to_string(p.symbolRateKsps) + ": " + family + " takes " + takes;
    return false;
  }
  if (p.symbolRateKsps && familySymbolRates(type).empty()) {
    warningLine(channel + ": -s does not apply to " + family + " (its demodulator takes no symbol rate)");
    p.symbolRateKsps = 0;
  }
  if (p.streamId >= 0 && !selectsStreams(type)) {
    warningLine(channel + ": --plp does not apply to " + family + " (it carries one stream)");
    p.streamId = -1;
  }
  return true;
}

bool tuneAuto(Channel& ch, const TuneParams& p, std::string* error, const TuneStatus& status) {
  std::vector<uint32_t> bws{p.bandwidthHz}, srs{p.symbolRateKsps};
  if (!p.bandwidthHz && ch.tunerType() > 0 && !familyBandwidths(ch.tunerType()).empty())
    bws = familyBandwidths(ch.tunerType());
  if (!p.symbolRateKsps && ch.tunerType() > 0 && !familySymbolRates(ch.tunerType()).empty())
    srs = familySymbolRates(ch.tunerType());
  for (size_t i = 0; i < bws.size() && !interrupted(); ++i)
    for (size_t k = 0; k < srs.size() && !interrupted(); ++k) {
      TuneParams q = p;
      q.bandwidthHz = bws[i];
      q.symbolRateKsps = srs[k];
      if (status) {
        std::string what = "tuning " + khzText(q.frequencyKHz);
        if (q.bandwidthHz) what += ", " + std::to_string(q.bandwidthHz / 1000000) + " MHz";
        if (q.symbolRateKsps) what += ", " + std::to_string(q.symbolRateKsps) + " kS/s";
        // The DVB-T/T2 card's commit looks for DVB-T2 for seconds before it takes DVB-T.
        if (effectiveTunerType(ch.tunerType()) == 1)
          what += q.streamId >= 0 ? " (DVB-T2, PLP " + std::to_string(q.streamId) + ")"
                                  : " (DVB-T2 first, then DVB-T)";
        status(what, true);
      }
      if (!ch.tune(q, error)) return false;
      if (bws.size() * srs.size() == 1 || ch.waitLock(kLockWaitNs / 4, showingLockState(ch, status)))
        return true;
    }
  return true;
}

bool tuneAll(FrontEnd& fe, RecordJobs& jobs, bool capture, bool needLock, std::string* error) {
  std::atomic<size_t> running{jobs.size()};
  std::vector<std::thread> threads;
  for (auto& jp : jobs)
    threads.emplace_back([&, &job = *jp] {
      const int64_t start = platform_time::nowNs();
      const TuneStatus status = [&](const std::string& text, bool step) {
        std::lock_guard l(job.m);
        job.status = text;
        if (step) job.steps.push_back(text);
      };
      job.ch = fe.openChannel(job.channel, capture, &job.error);
      if (job.ch && tuneAuto(*job.ch, job.tune, &job.error, status)) {
        job.locked = job.ch->waitLock(kLockWaitNs, showingLockState(*job.ch, status));
        if (interrupted())
          job.error = "interrupted while tuning " + job.label;
        else if (!job.locked && needLock) {
          if (job.error = missingPlpText(*job.ch, job.channel, job.tune); job.error.empty())
            job.error = noLockText(job.channel, job.ch->tunerType(), job.tune);
        }
        if (job.locked) status(lockedText(*job.ch, (platform_time::nowNs() - start) / 1e9), true);
      } else {
        job.ch.reset();
      }
      --running;
    });
  // Where each job is: on a terminal a status line redrawn in place, as dvbv5-zap shows it; elsewhere a line
  // per change (a step begun, the lock found), never the same line again.
  const bool terminal = stderrIsTerminal();
  std::vector<size_t> said(jobs.size());
  auto sayNewSteps = [&] {
    for (size_t i = 0; i < jobs.size(); ++i) {
      std::lock_guard l(jobs[i]->m);
      for (; said[i] < jobs[i]->steps.size(); ++said[i])
        humanLine(jobs[i]->label + ": " + jobs[i]->steps[said[i]]);
    }
  };
  auto next = std::chrono::steady_clock::now() + kRedraw;
  while (running > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!terminal) {
      sayNewSteps();
      continue;
    }
    if (std::chrono::steady_clock::now() < next) continue;
    next += kRedraw;
    std::string text;
    for (auto& job : jobs) {
      std::lock_guard l(job->m);
      if (!job->status.empty()) text += (text.empty() ? "" : "  ") + job->label + ": " + job->status;
    }
    if (!text.empty()) statusLine(text);
  }
  for (auto& t : threads) t.join();
  if (terminal)
    clearStatusLine();
  else
    sayNewSteps();
  for (auto& job : jobs)
    if (!job->error.empty()) {
      if (error) *error = job->error;
      return false;
    }
  return true;
}

namespace {

// Reads one frame, giving up after frameTimeout() without one, or when the user interrupts.
NTSTATUS readFrameOrInterrupt(Channel& ch, std::vector<uint8_t>& frame) {
  const auto deadline = std::chrono::steady_clock::now() + frameTimeout();
  NTSTATUS s;
  while ((s = ch.readFrame(frame, kInterruptPoll)) == STATUS_TIMEOUT && !interrupted() &&
         std::chrono::steady_clock::now() < deadline) {
  }
  return s;
}

// Records one job until its limits, a failure (failed set, job.error said) or the user's interrupt.
void record(RecordJob& job, const RecordLimits& limits, int64_t startNs, std::atomic<bool>& failed) {
  // A duration is of stream, not of the wall clock: a loaded machine records late, not less. The stream's own
  // clock gives its rate; one without PCRs is measured against the platform's. Until the rate is known, a
  // recording limited in seconds holds what it read.
  PcrRate pcrRate;
  int64_t firstFrameNs = -1;
  uint64_t fed = 0;
  std::vector<uint8_t> frame, cut, held;
  auto wantRead = [&] {
    if (limits.seconds <= 0 || !job.bitrate) return uint64_t{0};
    return std::max<uint64_t>(
               1, static_cast<uint64_t>(std::ceil(limits.seconds * job.bitrate / (kTsPacket * 8)))) *
           kTsPacket;
  };
  auto fail = [&](const std::string& what) {
    job.error = job.label + ": " + what;
    failed = true;
    return false;
  };
  // Writes what was read, within the limits; false when the recording ends.
  auto take = [&](std::vector<uint8_t>& frame) {
    const uint64_t want = wantRead();
    size_t taken = frame.size();
    if (want) taken = static_cast<size_t>(std::min<uint64_t>(taken, want > job.read ? want - job.read : 0));
    const uint8_t* data = frame.data();
    size_t len = taken;
    if (job.filter) {
      cut.clear();
      job.filter->feed(data, len, cut);
      data = cut.data();
      len = cut.size();
    }
    if (len && job.firstPacketSeconds < 0) job.firstPacketSeconds = (platform_time::nowNs() - startNs) / 1e9;
    if (limits.packets) {
      std::lock_guard l(job.m);
      len = static_cast<size_t>(std::min<uint64_t>(len, (limits.packets - job.ts.packets()) * kTsPacket));
    }
    if (!job.out.write(data, len, &job.error)) {
      // The reader closing the pipe is how a pipeline ends (as `yes | head`): the recording ends here.
      if (!job.out.readerGone()) return !(failed = true);
      job.error.clear();
      return false;
    }
    std::lock_guard l(job.m);
    job.ts.feed(data, len);
    job.read += taken;
    if (job.filter && !job.filter->ready() && job.streamSeconds() > kServiceWaitSeconds)
      return fail("still waiting for " + job.filter->waitingFor() + " after " +
                  std::to_string(static_cast<int>(kServiceWaitSeconds)) + " s of stream");
    return !((want && job.read >= want) || (limits.packets && job.ts.packets() >= limits.packets));
  };
  while (!failed && !interrupted()) {
    NTSTATUS s = readFrameOrInterrupt(*job.ch, frame);
    if (s == STATUS_TIMEOUT && interrupted()) break;
    if (s == STATUS_TIMEOUT) return void(fail("no data from the card"));
    if (!NT_SUCCESS(s)) return void(fail("capture failed (status " + statusText(s) + ")"));
    pcrRate.feed(frame.data(), frame.size());
    fed += frame.size();
    if (firstFrameNs < 0) firstFrameNs = platform_time::nowNs();
    uint64_t rate = pcrRate.bitrate();
    const int64_t sinceFirst = platform_time::nowNs() - firstFrameNs;
    if (!rate && sinceFirst >= kNoPcrAfterNs) rate = static_cast<uint64_t>(fed * 8 * 1e9 / sinceFirst);
    {
      std::lock_guard l(job.m);
      job.bitrate = rate;
    }
    if (limits.seconds > 0 && !rate) {
      held.insert(held.end(), frame.begin(), frame.end());
      continue;
    }
    if (!held.empty()) {
      held.insert(held.end(), frame.begin(), frame.end());
      frame.swap(held);
      held.clear();
    }
    if (!take(frame)) return;
  }
  // Interrupted before the rate was known: what was read is kept, as an interrupted recording keeps it all.
  if (!failed && !held.empty()) take(held);
}

// "A: Lock Signal= -45.00dBm C/N= 29.49dB Quality= 45 | 32086 pkts 2.00 s cc 0".
std::string recordingStatus(RecordJob& job) {
  const std::string signal = femonLine(job.ch->stats());
  std::lock_guard l(job.m);
  char counts[96];
  snprintf(counts, sizeof counts, " | %llu pkts %.2f s cc %llu",
           static_cast<unsigned long long>(job.ts.packets()), job.streamSeconds(),
           static_cast<unsigned long long>(job.ts.continuityErrors()));
  return job.label + ": " + signal + counts;
}

}  // namespace

int recordAll(Globals& g, RecordJobs& jobs, const RecordLimits& limits, int64_t startNs) {
  std::string error;
  for (auto& job : jobs) {
    if (!job->out.open(job->output, &error, "recorded")) {
      errorLine(error);
      return 1;
    }
    if (job->serviceId >= 0)
      job->filter = std::make_unique<ServiceFilter>(static_cast<uint16_t>(job->serviceId));
  }
  for (auto& job : jobs) {
    if (!job->ch->startCapture(&error)) {
      errorLine(job->label + ": " + error);
      return 1;
    }
  }
  std::atomic<bool> failed{false};
  std::atomic<int> running{static_cast<int>(jobs.size())};
  std::vector<std::thread> threads;
  for (auto& jp : jobs)
    threads.emplace_back([&, job = jp.get()] {
      record(*job, limits, startNs, failed);
      job->ch->stopCapture();
      --running;
    });
  // On a terminal, femon's figures and the recording's once a second until the last job ends.
  if (stderrIsTerminal()) {
    for (int64_t next = platform_time::nowNs();; std::this_thread::sleep_for(kInterruptPoll)) {
      const bool last = running == 0;
      if (last || platform_time::nowNs() >= next) {
        next = platform_time::nowNs() + kRecordingStatusEveryNs;
        std::string line;
        for (auto& job : jobs) line += (line.empty() ? "" : "  ") + recordingStatus(*job);
        statusLine(line);
      }
      if (last) break;
    }
    clearStatusLine();
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
  // Ended by the limits, or by the user: either way a recording is complete as it stands, unless the user
  // stopped it before its first packet. Then the file it would replace stays as it was.
  int rc = 0;
  std::vector<std::string> json;
  for (auto& job : jobs) {
    CaptureSummary s;
    s.channel = job->label;
    s.output = job->output;
    s.packets = job->ts.packets();
    s.bytes = job->ts.bytes();
    s.seconds = job->streamSeconds();
    s.continuityErrors = job->ts.continuityErrors();
    s.syncErrors = job->ts.syncErrors();
    s.firstPacketSeconds = job->firstPacketSeconds;
    if (s.packets == 0) {
      const bool file = !job->out.tempPath().empty();
      job->out.abandon();
      errorLine(job->label + ": nothing recorded" + (file ? "; " + job->output + " not written" : ""));
      rc = 1;
      continue;
    }
    if (!job->out.commit(&error)) {
      errorLine(error);
      return 1;
    }
    if (job->out.readerGone())
      noteLine(job->label + ": the reader closed " + (job->out.isStdout() ? "standard output" : job->output) +
               "; recording ended");
    if (g.json)
      json.push_back(summaryJson(s));
    else
      printOut(summaryLine(s));
    // As dvbv5-zap, a recording with gaps is still a recording; the user is told it has them.
    if (s.continuityErrors)
      warningLine(job->label + ": " + std::to_string(s.continuityErrors) +
                  " continuity errors: packets were lost");
  }
  if (g.json) {
    if (rc == 0)
      printJson(jsonArray(json));
    else
      addJsonDetail("recordings", jsonArray(json));
  }
  return rc;
}

}  // namespace zadivo::tool
