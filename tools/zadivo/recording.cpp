#include "tools/zadivo/recording.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

#include "platform/host/clock.h"
#include "tools/zadivo/interrupt.h"
#include "tools/zadivo/report.h"
#include "tools/zadivo/scan_plan.h"

namespace zadivo::tool {

namespace {

// PSI comes several times a second; a PMT missing for this long of stream is not coming.
constexpr double kServiceWaitSeconds = 5;

// Runs fn(i) for every index on a thread of its own and waits for all.
template <class Fn>
void forEachAtOnce(size_t n, Fn fn) {
  std::vector<std::thread> threads;
  for (size_t i = 0; i < n; ++i) threads.emplace_back(fn, i);
  for (auto& t : threads) t.join();
}

}  // namespace

std::chrono::milliseconds frameTimeout() {
  const double realSeconds = 5.0 * std::max(host::clock::scale(), 0.05) + 2.0;
  return std::chrono::milliseconds(static_cast<int64_t>(realSeconds * 1000));
}

std::string khzText(uint32_t khz) { return std::to_string(khz) + " kHz"; }

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

bool tuneAll(FrontEnd& fe, RecordJobs& jobs, bool capture, std::string* error) {
  forEachAtOnce(jobs.size(), [&](size_t i) {
    RecordJob& job = *jobs[i];
    job.ch = fe.openChannel(job.channel, capture, &job.error);
    if (!job.ch || !tuneAuto(*job.ch, job.tune, &job.error)) {
      job.ch.reset();
      return;
    }
    if (!job.ch->waitLock(kLockWaitNs))
      job.error = "no lock on " + channelName(job.channel) + " at " + khzText(job.tune.frequencyKHz);
  });
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
  // A duration is of stream, not of the wall clock: a loaded machine records late, not less.
  const uint64_t wantRead =
      limits.seconds > 0
          ? std::max<uint64_t>(
                1, static_cast<uint64_t>(std::ceil(limits.seconds * job.bitrate / (kTsPacket * 8)))) *
                kTsPacket
          : 0;
  std::vector<uint8_t> frame, cut;
  auto fail = [&](const std::string& what) {
    job.error = job.label + ": " + what;
    failed = true;
  };
  while (!failed && !interrupted()) {
    NTSTATUS s = readFrameOrInterrupt(*job.ch, frame);
    if (s == STATUS_TIMEOUT && interrupted()) break;
    if (s == STATUS_TIMEOUT) return fail("no data from the card");
    if (!NT_SUCCESS(s)) return fail("capture failed (status " + statusText(s) + ")");
    size_t taken = frame.size();
    if (wantRead) taken = static_cast<size_t>(std::min<uint64_t>(taken, wantRead - job.read));
    const uint8_t* data = frame.data();
    size_t len = taken;
    if (job.filter) {
      cut.clear();
      job.filter->feed(data, len, cut);
      data = cut.data();
      len = cut.size();
    }
    if (len && job.firstPacketSeconds < 0) job.firstPacketSeconds = (host::clock::nowNs() - startNs) / 1e9;
    if (limits.packets) {
      std::lock_guard l(job.m);
      len = static_cast<size_t>(std::min<uint64_t>(len, (limits.packets - job.ts.packets()) * kTsPacket));
    }
    if (!job.out.write(data, len, &job.error)) return void(failed = true);
    std::lock_guard l(job.m);
    job.ts.feed(data, len);
    job.read += taken;
    if (job.filter && !job.filter->ready() && job.streamSeconds() > kServiceWaitSeconds)
      return fail("still waiting for " + job.filter->waitingFor() + " after " +
                  std::to_string(static_cast<int>(kServiceWaitSeconds)) + " s of stream");
    if ((wantRead && job.read >= wantRead) || (limits.packets && job.ts.packets() >= limits.packets)) break;
  }
}

}  // namespace

int recordAll(Globals& g, FrontEnd& fe, RecordJobs& jobs, const RecordLimits& limits, int64_t startNs) {
  std::string error;
  for (auto& job : jobs) {
    job->bitrate = fe.streamBitrate(job->channel);
    if (!job->bitrate) {
      errorLine("no stream on " + channelName(job->channel));
      return 1;
    }
    if (!job->out.open(job->output, &error)) {
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
  if (stderrIsTerminal()) {
    while (running > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      std::string line;
      for (auto& job : jobs) {
        std::lock_guard l(job->m);
        char buf[200];
        snprintf(buf, sizeof buf, "%s %llu pkts %.2f s cc %llu  ", job->label.c_str(),
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
  // Ended by the limits, or by the user: either way the recording is complete as it stands.
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
    s.channel = job->label;
    s.output = job->output;
    s.packets = job->ts.packets();
    s.bytes = job->ts.bytes();
    s.seconds = job->streamSeconds();
    s.continuityErrors = job->ts.continuityErrors();
    s.syncErrors = job->ts.syncErrors();
    s.firstPacketSeconds = job->firstPacketSeconds;
    if (g.json)
      json.push_back(summaryJson(s));
    else
      printReport(summaryLine(s), toStdout);
  }
  if (g.json) printReport(jsonArray(json), toStdout);
  return 0;
}

}  // namespace zadivo::tool
