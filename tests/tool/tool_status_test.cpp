// What the tool says while it works and what it says it did: the progress of a tune, the status line of a
// recording on a terminal, monitor's lines and a flash write's account.
#include <regex>
#include <set>

#include "tests/tool/e2e_rig.h"

namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

class ToolStatus : public ToolE2E {
 protected:
  // A run on a terminal: stdin, stdout and stderr on a pseudo-terminal that script(1) records to stdout.
  Outcome onTerminal(const std::vector<std::string>& args) {
    std::string cmd =
        quote(ZADIVO_BIN) + " --state-dir " + quote(state_.string()) + " --time-scale " + timeScale_;
    for (auto& a : args) cmd += " " + quote(a);
    return shell("script -qec " + quote(cmd) + " /dev/null </dev/null >" + quote(outFile("run").string()) +
                 " 2>" + quote(errFile("run").string()));
  }
  fs::path channels() {
    const fs::path conf = dir_ / "channels.conf";
    std::ofstream(conf) << "[Zadivo One]\n\tSERVICE_ID = 17\n\tDELIVERY_SYSTEM = DVBT\n"
                           "\tFREQUENCY = 474000000\n\tBANDWIDTH_HZ = 8000000\n";
    return conf;
  }
};

}  // namespace

// Off a terminal each step of a tune is said once, and the lock with the time it took and the system found.
TEST_F(ToolStatus, ProgressOffATerminalSaysWhatChangedOnce) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"capture", "-c", "A", "-f", "474000", "-b", "8", "-o", "a.ts", "-t", "1"},
           {"capture", "-c", "A", "-f", "474000", "-o", "a.ts", "-t", "1"},  // the family's bandwidths tried
           {"zap", "-C", channels().string(), "Zadivo One", "-o", "a.ts", "-t", "1"}}) {
    SCOPED_TRACE(args[0] + " " + args[4]);
    Outcome r = zadivo(args);
    ASSERT_EQ(r.rc, 0) << r.err;
    std::set<std::string> seen;
    int tuning = 0, locked = 0;
    for (const auto& l : linesOf(r.err)) {
      EXPECT_TRUE(seen.insert(l).second) << "said twice: " << l << "\n" << r.err;
      tuning += l.find(": tuning 474000 kHz, 8 MHz (DVB-T2 first, then DVB-T)") != std::string::npos;
      locked += std::regex_search(l, std::regex(": locked after [0-9]+\\.[0-9] s \\(DVB-T\\)$"));
    }
    EXPECT_EQ(tuning, 1) << r.err;
    EXPECT_EQ(locked, 1) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
  }
}

// On a terminal a recording redraws one status line with femon's figures and its own, and erases it before
// the summary.
TEST_F(ToolStatus, RecordingOnATerminalShowsSignalAndQuality) {
  ASSERT_TRUE(have("script")) << "util-linux script missing";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"capture", "-c", "A", "-f", "474000", "-b", "8", "-o", "a.ts", "-t", "3"},
           {"zap", "-C", channels().string(), "Zadivo One", "-o", "b.ts", "-t", "3"}}) {
    SCOPED_TRACE(args[0]);
    Outcome r = onTerminal(args);
    ASSERT_EQ(r.rc, 0) << r.out << r.err;
    const std::string label = "(A|Zadivo One \\(A\\))";
    const std::regex status(
        "\r" + label +
        ": Lock    Signal= -45\\.00dBm C/N= [0-9.]+dB Quality= [0-9]+ \\| [0-9]+ pkts [0-9.]+ s "
        "cc 0\033\\[K");
    EXPECT_TRUE(std::regex_search(r.out, status)) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\r\033\\[K" + label + ": [0-9]+ packets"))) << r.out;
  }
}

// monitor's lines carry the time of day they were read at.
TEST_F(ToolStatus, MonitorLinesAreTimestamped) {
  Outcome r = zadivo({"monitor", "-c", "A", "-f", "474000", "-b", "8", "--count", "2"});
  ASSERT_EQ(r.rc, 0) << r.err;
  const auto lines = linesOf(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  for (const auto& l : lines)
    EXPECT_TRUE(
        std::regex_match(l, std::regex("[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9] Lock    Signal= .*")))
        << l;
}

// A flash write accounts for the image's bytes; a short last page is padded with blank flash, and says so.
TEST_F(ToolStatus, FlashWriteSaysTheImagesBytesAndThePadding) {
  struct Row {
    size_t bytes;
    const char* said;
    const char* json;
  };
  for (const Row& row :
       {Row{100, "to 0x000000..0x000063 (100 bytes; its last page padded with 0xFF to 0x0000ff)",
            "{\"bytes\":100,\"first\":0,\"last\":99,\"padded_last\":255,\"verified\":true}"},
        Row{512, "to 0x000000..0x0001ff (512 bytes), verified",
            "{\"bytes\":512,\"first\":0,\"last\":511,\"verified\":true}"}}) {
    SCOPED_TRACE(row.bytes);
    const fs::path image = dir_ / "image.bin";
    std::ofstream(image, std::ios::binary) << std::string(row.bytes, '\x5a');
    Outcome r = zadivo({"flash", "write", image.string(), "--verify"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find(row.said), std::string::npos) << r.out;
    r = zadivo({"--json", "flash", "write", image.string(), "--verify"});
    EXPECT_EQ(r.out, std::string(row.json) + "\n");
    const size_t pad = (256 - row.bytes % 256) % 256;
    EXPECT_EQ(slurp(state_ / "card0.flash").substr(0, row.bytes + pad),
              std::string(row.bytes, '\x5a') + std::string(pad, '\xff'));
  }
}
