// Channel files end to end: every command that reads one says the same about it, refuses what the card's
// family cannot take before a tuner moves, and the files a scan writes come back from the dvbv5 tools as
// written. Also what users of the dvbv5 tools type: scan FILE, zap by service id, their options.
#include <fstream>

#include "e2e_rig.h"

namespace {

constexpr const char* kEins =
    "[Eins]\n\tSERVICE_ID = 17\n\tDELIVERY_SYSTEM = DVBT\n\tFREQUENCY = 474000000\n";

}  // namespace

TEST_F(ToolE2E, ChannelFileValuesTheFamilyCannotTakeAreRefusedBeforeTuning) {
  struct Case {
    const char* type;
    std::string entry, name, error;
  } cases[] = {
      {"1", std::string(kEins) + "\tBANDWIDTH_HZ = 9000000\n", "Eins",
       "c.conf:5: [Eins] BANDWIDTH_HZ = 9000000: DVB-T/T2 takes 5, 6, 7 or 8 MHz"},
      {"1", std::string(kEins) + "\tBANDWIDTH_HZ = 3000000\n", "Eins",
       "c.conf:5: [Eins] BANDWIDTH_HZ = 3000000: DVB-T/T2 takes 5, 6, 7 or 8 MHz"},
      {"4", "[Kabel]\n\tDELIVERY_SYSTEM = DVBC/ANNEX_A\n\tFREQUENCY = 346000000\n\tSYMBOL_RATE = 1\n",
       "Kabel", "c.conf:4: [Kabel] SYMBOL_RATE = 1: DVB-C takes 1000 .. 7200 kS/s"},
      {"4", "[Kabel]\n\tDELIVERY_SYSTEM = DVBC/ANNEX_A\n\tFREQUENCY = 346000000\n\tSYMBOL_RATE = 99000000\n",
       "Kabel", "c.conf:4: [Kabel] SYMBOL_RATE = 99000000: DVB-C takes 1000 .. 7200 kS/s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    ASSERT_EQ(zadivo({"tuner-type", "set", c.type}).rc, 0);
    std::ofstream(dir_ / "c.conf") << c.entry;
    // Alone: no tuning status, no driver refusal after it.
    const Outcome r = zadivo({"zap", "-C", "c.conf", c.name});
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.err, "zadivo: " + c.error + "\n");
  }
}

TEST_F(ToolE2E, EveryCommandReadingAChannelFileSaysTheSameAboutIt) {
  const std::string head = "[Eins]\n\tDELIVERY_SYSTEM = DVBT\n";
  struct Case {
    std::string text, error;
  } cases[] = {
      {head, "c.conf:1: [Eins] has no FREQUENCY"},
      {head + "\tFREQUENCY = abc\n", "c.conf:3: FREQUENCY: not a frequency in Hz 'abc'"},
      {std::string(kEins) + "Eins 474000000\n",
       "c.conf:5: expected 'KEY = value' or '[name]', got 'Eins 474000000'"},
      {"T 474000000 8MHz 2/3 NONE QAM64 8k 1/8 NONE\n",
       "c.conf:1: a channel file in the CHANNEL format; zadivo reads dvbv5 files: convert it with "
       "dvb-format-convert -I CHANNEL -O DVBV5 c.conf channels.conf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::ofstream(dir_ / "c.conf") << c.text;
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"zap", "-C", "c.conf", "Eins"},
                                               {"--air", "c.conf", "air"},
                                               {"scan", "--initial", "c.conf", "-o", "out.conf"},
                                               {"scan", "c.conf", "-o", "out.conf"}}) {
      const Outcome r = zadivo(args);
      EXPECT_EQ(r.rc, 1) << args[0];
      EXPECT_EQ(r.errLines(), std::vector<std::string>{"zadivo: " + c.error}) << args[0] << ": " << r.err;
    }
  }
}

TEST_F(ToolE2E, WhatUsersOfTheDvbv5ToolsType) {
  std::ofstream(dir_ / "c.conf") << kEins << "\n[Ünïcödé ТВ]\n\tSERVICE_ID = 18\n\tDELIVERY_SYSTEM = DVBT\n"
                                 << "\tFREQUENCY = 474000000\n";
  // scan FILE as scan --initial FILE.
  Outcome positional = zadivo({"scan", "c.conf", "-o", "a.conf"});
  Outcome option = zadivo({"scan", "--initial", "c.conf", "-o", "b.conf"});
  ASSERT_EQ(positional.rc, 0) << positional.err;
  ASSERT_EQ(option.rc, 0) << option.err;
  EXPECT_NE(slurp(dir_ / "a.conf").find("[Zadivo Kids]"), std::string::npos) << slurp(dir_ / "a.conf");
  EXPECT_EQ(slurp(dir_ / "a.conf"), slurp(dir_ / "b.conf"));
  EXPECT_EQ(zadivo({"scan", "c.conf", "--initial", "c.conf", "-o", "a.conf"}).rc, 2);

  // zap by name in another case, by --sid and by a number no name matches.
  for (const std::vector<std::string>& wanted :
       std::vector<std::vector<std::string>>{{"ünïcödé тв"}, {"ÜNÏCÖDÉ ТВ"}, {"--sid", "17"}, {"18"}}) {
    std::vector<std::string> args = {"zap", "-C", "c.conf", "-t", "0.1"};
    args.insert(args.end(), wanted.begin(), wanted.end());
    const Outcome r = zadivo(args);
    EXPECT_EQ(r.rc, 0) << wanted.back() << ": " << r.err;
  }
  const Outcome none = zadivo({"zap", "-C", "c.conf", "--sid", "99"});
  EXPECT_EQ(none.rc, 1);
  EXPECT_EQ(none.errLines(), std::vector<std::string>{"zadivo: no service id 99 in c.conf"});

  // Their options that zadivo has not point to what it has.
  struct Hint {
    std::vector<std::string> args;
    std::string error;
  } hints[] = {
      {{"zap", "-I", "ZAP", "-C", "c.conf", "Eins"},
       "-I: zadivo reads dvbv5 files only; see dvb-format-convert"},
      {{"scan", "--output-format=VDR", "c.conf"},
       "--output-format: zadivo reads dvbv5 files only; see "
       "dvb-format-convert"},
      {{"scan", "-a", "0", "c.conf"},
       "-a: zadivo has no adapters: a tuner is a channel, -c A..H (1:A on card 1)"},
  };
  for (const Hint& h : hints) {
    const Outcome r = zadivo(h.args);
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.errLines(), std::vector<std::string>{"zadivo: " + h.error}) << r.err;
  }
}

TEST_F(ToolE2E, ScannedNamesComeBackFromTheDvbv5ToolsAsWritten) {
  if (!have("dvb-format-convert")) GTEST_SKIP() << "no dvb-format-convert";
  std::ofstream(dir_ / "air.conf") << "[mux]\nDELIVERY_SYSTEM = DVBT\nFREQUENCY = 474000000\n"
                                      "SERVICE_NAME = \"Quoted\" [x], [Plain]\n";
  const Outcome scan = zadivo(
      {"--air", "air.conf", "scan", "--from", "474000", "--to", "474000", "--step", "8000", "-o", "s.conf"});
  ASSERT_EQ(scan.rc, 0) << scan.err;
  EXPECT_EQ(scan.errLines(), std::vector<std::string>{
                                 "zadivo: warning: 2 names hold what a dvbv5 section header cannot keep (it "
                                 "ends at ']'): '\"Quoted\" [x]' is written as '\"Quoted\" (x)'"});
  const Outcome convert = shell("dvb-format-convert -I DVBV5 -O DVBV5 s.conf back.conf");
  ASSERT_EQ(convert.rc, 0) << convert.err;
  for (const char* name : {"[\"Quoted\" (x)]\n", "[(Plain)]\n"}) {
    EXPECT_NE(slurp(dir_ / "s.conf").find(name), std::string::npos) << slurp(dir_ / "s.conf");
    EXPECT_NE(slurp(dir_ / "back.conf").find(name), std::string::npos) << slurp(dir_ / "back.conf");
  }
  EXPECT_EQ(zadivo({"zap", "-C", "back.conf", "\"Quoted\" (x)", "-t", "0.1"}).rc, 0);
}
