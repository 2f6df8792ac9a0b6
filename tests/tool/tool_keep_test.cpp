// A recording interrupted once the channel is locked and its output opened, but before the first packet:
// nothing was recorded, so the file it would replace stays as it was.
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_rig.h"

namespace {

// An air of one multiplex of null packets (no PCR) at the given rate.
class ToolKeep : public ToolE2E {
 protected:
  fs::path nullMultiplex(const std::string& name, const std::string& system, int bitrate) {
    std::string nulls;
    for (int i = 0; i < 64; ++i) nulls += std::string("\x47\x1f\xff\x10", 4) + std::string(184, '\xff');
    std::ofstream(dir_ / "n.ts", std::ios::binary) << nulls;
    const fs::path air = dir_ / "air.conf";
    std::ofstream(air) << "[" << name << "]\nDELIVERY_SYSTEM = " << system
                       << "\nFREQUENCY = 474000000\nTS_FILE = n.ts\nBITRATE_BPS = " << bitrate << "\n";
    return air;
  }
};

TEST_F(ToolKeep, InterruptAfterTheLockBeforeAPacketKeepsTheFile) {
  // A multiplex of a packet a second: its first 256-packet block is a minute of real time away, a read
  // without data gives up after seconds.
  timeScale_ = "0.25";
  const fs::path air = nullMultiplex("Slow", "DVBT", 1504), conf = dir_ / "ch.conf", rec = dir_ / "rec.ts";
  std::ofstream(conf) << "[Slow]\nSERVICE_ID = 1\nDELIVERY_SYSTEM = DVBT\nFREQUENCY = 474000000\n";
  const std::vector<std::string> commands[] = {
      {"--air", air.string(), "capture", "-c", "A", "-f", "474000", "-b", "8", "-o", rec.string()},
      {"--air", air.string(), "zap", "-C", conf.string(), "Slow", "--service", "-o", rec.string()},
  };
  const auto recording = [&] {
    for (const std::string& name : leftovers())
      if (name.find(".part") != std::string::npos) return true;
    return false;
  };
  for (const auto& args : commands) {
    SCOPED_TRACE(args[2]);
    std::ofstream(rec) << "the previous recording";
    Running run = start(args, "locked");
    // The recording's temporary file beside rec.ts: locked, streaming, no packet yet.
    ASSERT_TRUE(reaches(run, recording));
    kill(run.pid, SIGINT);
    Outcome r = finish(run);
    EXPECT_EQ(r.rc, 130) << r.err;
    EXPECT_NE(r.err.find("nothing recorded"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(rec), "the previous recording");
    EXPECT_FALSE(recording());
  }
}

TEST_F(ToolKeep, InterruptBeforeTheRateIsKnownKeepsWhatWasRead) {
  // A multiplex without PCRs: a recording limited in seconds measures its rate over a second of stream and
  // holds what it reads until then. The slow clock makes that second ten of real time.
  timeScale_ = "10";
  const fs::path air = nullMultiplex("N", "DVBT2", 24000000), rec = dir_ / "rec.ts", mmio = dir_ / "mmio.log";
  // Blocks channel A's DMA delivered: its interrupt bit acknowledged in the interrupt status register.
  const auto blocks = [&] {
    std::istringstream log(slurp(mmio));
    int n = 0;
    for (std::string op, reg, value; log >> op >> reg >> value;)
      if (op == "w" && reg == "0xc000" && (std::stoul(value, nullptr, 16) & 0x10)) ++n;
    return n;
  };
  Running run = start({"--air", air.string(), "--mmio-log", mmio.string(), "capture", "-c", "A", "-f",
                       "474000", "-b", "8", "-o", rec.string(), "-t", "5"},
                      "held");
  ASSERT_TRUE(reaches(run, [&] { return blocks() >= 3; }));
  kill(run.pid, SIGINT);
  Outcome r = finish(run);
  EXPECT_EQ(r.rc, 0) << r.err;  // an interrupted recording with packets ends as a finished one
  EXPECT_EQ(r.err.find("nothing recorded"), std::string::npos) << r.err;
  const std::string ts = slurp(rec);
  EXPECT_GE(ts.size(), 188u * 256) << r.err;
  EXPECT_EQ(ts.size() % 188, 0u);
}

}  // namespace
