// What the tool refuses, and when: outputs, card numbers, countries and tuner types before the card starts
// (exit 2); failures of the hardware and of the plan said as failures; what a pipeline's reader ending and
// a missing PLP look like.
#include <sys/stat.h>

#include <thread>

#include "e2e_rig.h"

namespace {

std::string joined(const std::vector<std::string>& args) {
  std::string s;
  for (const auto& a : args) s += a.substr(0, 60) + " ";
  return s;
}

}  // namespace

// A value no card takes, and an output that cannot be written, are usage errors found before the card starts:
// no state directory is made, nothing is tuned.
TEST_F(ToolE2E, RefusedBeforeTheCardStarts) {
  const std::string missing = (dir_ / "nope" / "a.ts").string(), conf = (dir_ / "ch.conf").string();
  std::ofstream(conf) << "[Zadivo One]\nDELIVERY_SYSTEM = DVBT\nFREQUENCY = 474000000\n";
  const std::string longName = (dir_ / std::string(300, 'n')).string();
  const struct {
    std::vector<std::string> args;
    std::string says;
  } rows[] = {
      {{"capture", "-c", "A", "-f", "474000", "-o", missing, "-t", "1"},
       "cannot create " + missing + ": No such file or directory"},
      {{"capture", "-c", "A", "-f", "474000", "-o", dir_.string(), "-t", "1"},
       dir_.string() + " is a directory"},
      {{"capture", "-c", "A", "-f", "474000", "-o", longName, "-t", "1"}, "File name too long"},
      {{"zap", "-C", conf, "Zadivo One", "-o", missing}, "cannot create " + missing},
      {{"scan", "-o", missing}, "cannot create " + missing},
      {{"flash", "read", missing, "--size", "16"}, "cannot create " + missing},
      {{"tune", "-c", "9:A", "-f", "474000"}, "bad card number in channel '9:A' (cards 0..7)"},
      {{"scan", "--country", "XX", "-o", conf}, "no channel plan for country 'XX' (plans: AD "},
      {{"tuner-type", "set", "9"}, "tuner type '9' is no family (1 DVB-T/T2, 3 ATSC, 4 DVB-C,"},
      {{"tuner-type", "set", "0"}, "is no family"},
      {{"tuner-type", "set", "DVB-S"}, "is no family"},
  };
  for (const auto& row : rows) {
    Outcome r = zadivo(row.args);
    EXPECT_EQ(r.rc, 2) << joined(row.args) << r.err;
    EXPECT_NE(r.err.find(row.says), std::string::npos) << joined(row.args) << r.err;
    EXPECT_FALSE(fs::exists(state_)) << joined(row.args) << ": the card was started";
  }
  Outcome r =
      shell("ZADIVO_SYS=" + quote((dir_ / "none.sys").string()) + " " + commandLine({"status"}, true, "run"));
  EXPECT_EQ(r.rc, 2) << r.err;
  EXPECT_NE(r.err.find("none.sys: No such file or directory"), std::string::npos) << r.err;
}

// A slave that does not answer, and a scan cut short, are failures however much they wrote.
TEST_F(ToolE2E, FailuresAreNotReportedAsSuccess) {
  for (const std::vector<std::string>& args : {
           std::vector<std::string>{"regs", "read", "--slave", "0x10", "--sub", "0x00", "--len", "4"},
           std::vector<std::string>{"regs", "write", "--slave", "0x10", "--data", "0x01"},
       }) {
    Outcome r = zadivo(args);
    EXPECT_EQ(r.rc, 1) << joined(args) << r.err;
    EXPECT_EQ(r.out, "") << joined(args);
    EXPECT_NE(r.err.find("slave 0x10 did not answer"), std::string::npos) << joined(args) << r.err;
  }
}

// A reader that closes the pipe ends the recording as `head` ends `yes`: summary on stderr, exit 0.
TEST_F(ToolE2E, AReaderClosingThePipeEndsTheRecording) {
  const std::string run = quote(ZADIVO_BIN) + " --state-dir " + quote(state_.string()) + " --time-scale " +
                          timeScale_ + " capture -c A -f 474000 -b 8 -o - 2>err.txt";
  shell("{ " + run + "; echo $? >rc.txt; } | head -c 188000 | wc -c >count.txt");
  const std::string err = slurp(dir_ / "err.txt");
  EXPECT_EQ(slurp(dir_ / "rc.txt"), "0\n") << err;
  EXPECT_EQ(slurp(dir_ / "count.txt"), "188000\n");
  EXPECT_NE(err.find("A: the reader closed standard output; recording ended"), std::string::npos) << err;
  EXPECT_NE(err.find(" packets, "), std::string::npos) << err;
  EXPECT_EQ(err.find("Broken pipe"), std::string::npos) << err;
}

// Families by name as well as by code; an address no interface takes is stored, with a warning.
TEST_F(ToolE2E, TunerTypesByNameAndMacAddressesThatNoInterfaceTakes) {
  const struct {
    const char* type;
    const char* get;
  } types[] = {{"DVB-C", "4 (DVB-C)\n"},
               {"isdb-t", "5 (ISDB-T)\n"},
               {"J.83B", "6 (J.83B)\n"},
               {"dvb-t2", "1 (DVB-T/T2)\n"}};
  for (const auto& t : types) {
    ASSERT_EQ(zadivo({"tuner-type", "set", t.type}).rc, 0) << t.type;
    EXPECT_EQ(zadivo({"tuner-type", "get"}).out, t.get) << t.type;
  }
  const struct {
    const char* mac;
    const char* warns;  // nullptr: none
  } macs[] = {
      {"01:00:5e:00:00:01", "is a multicast address"},
      {"ff:ff:ff:ff:ff:ff", "is the broadcast address"},
      {"00:00:00:00:00:00", "is all zeros"},
      {"02:5a:44:00:00:07", nullptr},
  };
  for (const auto& m : macs) {
    Outcome r = zadivo({"mac", "set", "--index", "2", "--mac", m.mac});
    EXPECT_EQ(r.rc, 0) << m.mac << r.err;
    if (m.warns)
      EXPECT_NE(r.err.find(std::string("warning: ") + m.mac + " " + m.warns), std::string::npos) << r.err;
    else
      EXPECT_EQ(r.err, "") << m.mac;
    EXPECT_EQ(zadivo({"mac", "get", "--index", "2"}).out, std::string(m.mac) + "\n");
  }
}

// What a failed tune or an early interrupt says: the PLPs that are there, "nothing recorded".
TEST_F(ToolE2E, MessagesNameWhatIsThere) {
  Outcome r = zadivo({"tune", "-c", "A", "-f", "538000", "--plp", "5"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("PLP 5 is not there (PLPs found: 0, 1)"), std::string::npos) << r.err;

  // The card waits for a reader of its log: a signal then lands before the first packet.
  const fs::path fifo = dir_ / "fifo", rec = dir_ / "rec.ts";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Running run =
      start({"--mmio-log", fifo.string(), "capture", "-c", "A", "-f", "474000", "-o", rec.string()}, "early");
  ASSERT_TRUE(reaches(run, [&] { return fs::exists(state_ / "card0.lock"); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(run.pid, SIGINT);
  r = finish(run);
  EXPECT_EQ(r.rc, 130);
  EXPECT_NE(r.err.find("zadivo: nothing recorded: interrupted"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(rec));
}

// --json asks for documents: --version and --help give one too.
TEST_F(ToolE2E, JsonVersionAndHelpAreDocuments) {
  ASSERT_TRUE(have("jq")) << "jq missing (tools/install-deps.sh test installs it)";
  const struct {
    std::vector<std::string> args;
    std::string check;
  } rows[] = {
      {{"--json", "--version"}, ".version | test(\"^[0-9]+\\\\.[0-9]+\\\\.[0-9]+ \\\\(git \")"},
      {{"--help", "--json"}, ".help | contains(\"Usage:\")"},
      {{"tune", "--help", "--json"}, ".help | contains(\"--frequency\")"},
  };
  for (const auto& row : rows) {
    Outcome r = zadivo(row.args, false);
    EXPECT_EQ(r.rc, 0) << joined(row.args);
    std::ofstream(dir_ / "doc.json") << r.out;
    EXPECT_EQ(
        std::system(("jq -e " + quote(row.check) + " " + quote((dir_ / "doc.json").string()) + " >/dev/null")
                        .c_str()),
        0)
        << joined(row.args) << r.out;
  }
}
