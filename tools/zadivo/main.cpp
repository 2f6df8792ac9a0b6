// zadivo: status, tuning, capture, scan, monitoring and board storage of the simulated eight-tuner card, as a
// BDA application on the emulated machine. Arguments are checked before any card is touched.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "tools/zadivo/atomic_file.h"
#include "tools/zadivo/commands.h"
#include "tools/zadivo/interrupt.h"
#include "tools/zadivo/report.h"
#include "tools/zadivo/scan_plan.h"
#include "tools/zadivo/state_dir.h"
#include "zadivo_version.h"

using namespace zadivo::tool;

namespace {

struct Raw {
  std::vector<std::string> channels;
  std::vector<uint32_t> freqs;
  std::vector<uint32_t> bandwidths;
  std::vector<uint32_t> symbolRates;
  std::vector<std::string> plps;
  std::vector<std::string> outputs;
  CLI::Option *channel = nullptr, *bandwidth = nullptr, *symbolRate = nullptr, *plp = nullptr;
};

// Validation failures raised from callbacks end up as one line and exit code 2.
[[noreturn]] void refuse(const std::string& what) { throw CLI::ValidationError(what); }

// Every number is checked against its real range here, before CLI11 converts it.
// clang-format off
constexpr double kMinTimeScale = 0.001, kMaxTimeScale = 100;   // real time per unit of platform time
constexpr double kMinSeconds = 0.001, kMaxSeconds = 1e9;        // of stream
constexpr double kMinInterval = 0.01, kMaxInterval = 86400;     // between monitor reports
constexpr uint64_t kMaxScanFrequencies = 100000;
constexpr uint64_t kMaxCount = 1000000000;                      // monitor reports
// clang-format on

CLI::Validator within(double lo, double hi, const char* unit) {
  return CLI::Validator(
      [=](std::string& text) {
        std::string error;
        return parseNumberIn(text, lo, hi, unit, &error) ? std::string() : error;
      },
      "");
}

CLI::Validator countIn(uint64_t lo, uint64_t hi) {
  return CLI::Validator(
      [=](std::string& text) {
        auto v = parseUnsigned(text);
        return v && *v >= lo && *v <= hi
                   ? std::string()
                   : "'" + printable(text.substr(0, 40)) + "' is not a whole number in " +
                         std::to_string(lo) + " .. " + std::to_string(hi);
      },
      "");
}

CLI::Validator positiveCount() {
  return CLI::Validator(
      [](std::string& text) {
        auto v = parseUnsigned(text);
        return v && *v > 0 ? std::string()
                           : "'" + printable(text.substr(0, 40)) + "' is not a whole number above 0";
      },
      "");
}

CLI::Validator tunerFrequency() {
  return CLI::Validator(
      [](std::string& text) {
        auto v = parseUnsigned(text);
        if (!v) return "'" + printable(text.substr(0, 40)) + "' is not a frequency in kHz";
        return frequencyProblem(*v);
      },
      "");
}

// A file the tool reads: there, reachable and no directory; what stands in the way is said as the system says
// it (a loop of links, a directory that may not be searched), not as "does not exist".
std::string unreadable(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return "cannot read " + printable(path) + ": " + strerror(errno);
  return S_ISDIR(st.st_mode) ? printable(path) + " is a directory" : std::string();
}

CLI::Validator readable() {
  return CLI::Validator([](std::string& path) { return unreadable(path); }, "");
}

// Outputs are checked before the card starts: a path that cannot be written is a usage error, not a failure
// after the lock.
void checkOutputs(const std::vector<std::string>& paths) {
  std::string error;
  for (const auto& path : paths)
    if (path != "-" && !writable(path, &error)) refuse(error);
}

ChannelRef channelOf(const std::string& text) {
  std::string error;
  auto ref = parseChannel(text, &error);
  if (!ref) refuse(error);
  return *ref;
}

std::vector<ChannelRef> distinctChannels(const std::vector<std::string>& texts) {
  std::vector<ChannelRef> out;
  for (const auto& text : texts) {
    out.push_back(channelOf(text));
    if (std::count(out.begin(), out.end(), out.back()) > 1) refuse("channel " + text + " given twice");
  }
  return out;
}

// --plp: 0..255, or -1 / none for no PLP, as channel files write it.
int32_t plpOf(const std::string& text) {
  if (text == "none" || text == "-1") return -1;
  auto v = parseUnsigned(text);
  if (!v || *v > 255) refuse("--plp '" + printable(text.substr(0, 40)) + "' is not 0..255, -1 or none");
  return static_cast<int32_t>(*v);
}

// -f and -o pair with the -c of the same rank; -b, -s and --plp belong to the -c they follow (before the
// first -c, to every channel).
std::vector<ChannelTune> tunesOf(CLI::App* command, const Raw& r, bool needOutput) {
  if (r.channels.size() != r.freqs.size())
    refuse("each -c needs its own -f (" + std::to_string(r.channels.size()) + " channels, " +
           std::to_string(r.freqs.size()) + " frequencies)");
  if (needOutput && r.outputs.size() != r.channels.size())
    refuse("each -c needs its own -o (" + std::to_string(r.channels.size()) + " channels, " +
           std::to_string(r.outputs.size()) + " outputs)");
  std::vector<ChannelTune> out(r.channels.size());
  ChannelTune every;
  int at = -1;
  size_t nb = 0, ns = 0, np = 0;
  std::vector<int> givenB(out.size()), givenS(out.size()), givenP(out.size());
  auto set = [&](std::vector<int>& given, const char* name, auto apply) {
    if (at < 0) return apply(every.tune);
    if (given[at]++) refuse(std::string(name) + " given twice for channel " + r.channels[at]);
    apply(out[at].tune);
  };
  for (const CLI::Option* op : command->parse_order()) {
    if (op == r.channel) {
      ++at;
    } else if (op == r.bandwidth) {
      const uint32_t mhz = r.bandwidths.at(nb++);
      if (mhz < 1 || mhz > 10) refuse("bandwidth " + std::to_string(mhz) + " MHz is not one of 1..10 MHz");
      set(givenB, "-b", [&](TuneParams& t) { t.bandwidthHz = mhz * 1000000; });
    } else if (op == r.symbolRate) {
      const uint32_t ksps = r.symbolRates.at(ns++);
      set(givenS, "-s", [&](TuneParams& t) { t.symbolRateKsps = ksps; });
    } else if (op == r.plp) {
      const int32_t plp = plpOf(r.plps.at(np++));
      set(givenP, "--plp", [&](TuneParams& t) { t.streamId = plp; });
    }
  }
  for (size_t i = 0; i < out.size(); ++i) {
    ChannelTune& t = out[i];
    t.channel = channelOf(r.channels[i]);
    for (size_t k = 0; k < i; ++k)
      if (out[k].channel == t.channel) refuse("channel " + r.channels[i] + " given twice");
    if (r.freqs[i] == 0) refuse("frequency 0 kHz is not a channel");
    t.tune.frequencyKHz = r.freqs[i];
    if (!givenB[i]) t.tune.bandwidthHz = every.tune.bandwidthHz;
    if (!givenS[i]) t.tune.symbolRateKsps = every.tune.symbolRateKsps;
    if (!givenP[i]) t.tune.streamId = every.tune.streamId;
    if (needOutput) {
      t.output = r.outputs[i];
      for (size_t k = 0; k < i; ++k)
        if (out[k].output == t.output && t.output != "-") refuse("output " + t.output + " given twice");
      if (t.output == "-" && std::count(r.outputs.begin(), r.outputs.end(), "-") > 1)
        refuse("only one channel can go to standard output");
    }
  }
  return out;
}

void tuningOptions(CLI::App* c, Raw& r, bool several) {
  r.channel =
      c->add_option("-c,--channel", r.channels, "channel A..H, optionally card-prefixed (1:A)")->required();
  auto* f = c->add_option("-f,--frequency", r.freqs, "frequency in kHz")->required()->check(tunerFrequency());
  r.bandwidth = c->add_option("-b,--bandwidth", r.bandwidths, "bandwidth in MHz (of the -c it follows)");
  r.symbolRate =
      c->add_option("-s,--symbol-rate", r.symbolRates, "symbol rate in kS/s (of the -c it follows)")
          ->check(within(kMinSymbolRateKsps, kMaxSymbolRateKsps, "kS/s"));
  r.plp = c->add_option("--plp", r.plps, "PLP or stream id, -1 or none for none (of the -c it follows)");
  if (!several) {
    r.channel->expected(1);
    f->expected(1);
  }
}

// The commands, for a message about a word that is none.
std::string commandList(const CLI::App& app) {
  std::string out;
  for (const CLI::App* c : app.get_subcommands([](const CLI::App*) { return true; }))
    out += (out.empty() ? "" : ", ") + c->get_name();
  return out;
}

// One line, and with --json the error document: exit code 2.
int usageError(const std::string& what) {
  errorLine(what);
  finishJson(2);
  return 2;
}

// Options of the dvbv5 tools that zadivo has not, and what it has instead.
struct Dvbv5Option {
  const char* names;  // space separated, each with its dashes
  const char* hint;
};
// clang-format off
constexpr Dvbv5Option kDvbv5Options[] = {
    {"-I --input-format -O --output-format", "zadivo reads dvbv5 files only; see dvb-format-convert"},
    {"-a --adapter -d --demux", "zadivo has no adapters: a tuner is a channel, -c A..H (1:A on card 1)"},
    {"-l --lnbf -S --sat_number -U --freq_bpf", "the card receives no satellite"},
    {"-r --dvr -p --pat -P --all-pids", "zap records with -o FILE (the multiplex, or the service with --service)"},
    {"-x --exit", "zadivo tune -c A -f KHZ tunes, reports the lock and exits"},
    {"-v --verbose", "driver traces go to --trace-log FILE (--trace-level N)"},
};
// clang-format on

// What to use instead of a dvbv5 tool's option on the command line; empty when it has none.
std::string dvbv5Hint(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    const std::string name = arg.rfind("--", 0) == 0 ? arg.substr(0, arg.find('=')) : arg.substr(0, 2);
    for (const Dvbv5Option& o : kDvbv5Options)
      if (name.size() > 1 && name[0] == '-' &&
          (" " + std::string(o.names) + " ").find(" " + name + " ") != std::string::npos)
        return name + ": " + o.hint;
  }
  return {};
}

bool hasJsonFlag(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (strcmp(argv[i], "--json") == 0) return true;
  return false;
}

// --help and --version as the one JSON document every --json run prints.
int helpJson(const char* key, const std::string& text) {
  setOutputs(true, false);
  printJson(Json().add(key, text).str());
  return 0;
}

}  // namespace

// Parses, checks and runs one command; its exit code.
int runTool(int argc, char** argv) {
  CLI::App app{"zadivo: the eight-tuner digital TV card on the emulated machine"};
  app.require_subcommand(1);
  app.fallthrough();  // inherited by every command: `zadivo status --json`
  app.set_version_flag("--version", std::string("zadivo ") + ZADIVO_VERSION);
  Globals g;
  std::string stateDir;
  bool dataOnStdout = false;
  app.add_option("--air", g.airFile, "broadcast environment (dvbv5-style channel file)")->check(readable());
  app.add_option("--cards", g.machine.cards, "number of cards")->check(CLI::Range(1, kMaxCards));
  app.add_option("--state-dir", stateDir, "where the cards keep EEPROM and flash images");
  app.add_option("--time-scale", g.machine.timeScale,
                 "real time per unit of platform time (1 = real time, 0.05 = twenty times faster)")
      ->check(within(kMinTimeScale, kMaxTimeScale, ""));
  app.add_option("--trace-level", g.machine.traceLevel, "driver trace level")->check(CLI::Range(0, 1000));
  app.add_option("--trace-log", g.machine.traceLog, "driver traces to FILE or - (stderr)");
  app.add_option("--mmio-log", g.machine.mmioLog, "register accesses to FILE");
  app.add_option("--i2c-log", g.machine.i2cLog, "I2C transfers to FILE");
  app.add_flag("--json", g.json, "machine-readable output");

  std::function<int()> run;
  Raw tuneRaw, captureRaw, monRaw;

  app.add_subcommand("air", "the multiplexes on the air (--air FILE, else the built-in one)")->callback([&] {
    run = [&] { return cmdAir(g); };
  });

  app.add_subcommand("status", "every channel of every card")->callback([&] {
    run = [&] { return cmdStatus(g); };
  });

  auto* tune = app.add_subcommand("tune", "tune one channel and report lock");
  tuningOptions(tune, tuneRaw, false);
  tune->callback([&] {
    auto t = tunesOf(tune, tuneRaw, false);
    run = [&g, t] { return cmdTune(g, t[0]); };
  });

  auto* capture = app.add_subcommand("capture", "record transport streams");
  tuningOptions(capture, captureRaw, true);
  capture->add_option("-o,--output", captureRaw.outputs, "output file per channel, - for stdout")->required();
  CaptureOptions co;
  auto* secs =
      capture->add_option("-t,--seconds", co.seconds, "seconds of stream (default: until interrupted)")
          ->check(within(kMinSeconds, kMaxSeconds, "s"));
  auto* pkts =
      capture->add_option("--packets", co.packets, "packets per channel (default: until interrupted)")
          ->check(positiveCount());
  secs->excludes(pkts);
  capture->callback([&] {
    co.channels = tunesOf(capture, captureRaw, true);
    checkOutputs(captureRaw.outputs);
    dataOnStdout = std::count(captureRaw.outputs.begin(), captureRaw.outputs.end(), "-") > 0;
    run = [&] { return cmdCapture(g, co); };
  });

  auto* scan =
      app.add_subcommand("scan", "find the services of the card's standard family, on every tuner at once");
  ScanOptions so;
  std::vector<std::string> scanChannels;
  bool noServices = false;
  scan->add_option("-c,--channel", scanChannels,
                   "scan with these channels (default: every tuner of the family)");
  scan->add_option("--tuners", so.tuners, "use at most this many tuners")->check(CLI::Range(1, 64));
  auto* from = scan->add_option("--from", so.fromKHz, "first frequency (kHz)")->check(tunerFrequency());
  auto* to = scan->add_option("--to", so.toKHz, "last frequency (kHz)")->check(tunerFrequency());
  auto* step = scan->add_option("--step", so.stepKHz, "step (kHz)")->check(countIn(1, kTunerMaxKHz));
  auto* initial =
      scan->add_option("--initial", so.initialFile, "dvbv5 channel file of frequencies (dtv-scan-tables)")
          ->check(readable());
  std::string initialPositional;
  auto* initialFile = scan->add_option("initial-file", initialPositional,
                                       "the same as --initial FILE, as dvbv5-scan takes it")
                          ->check(readable());
  auto* country =
      scan->add_option("--country", so.country, "the country's channel plan (DE, GB, AU, US, BR, JP, ...)");
  scan->add_flag("--no-services", noServices,
                 "one entry per multiplex, without reading its services (faster)");
  from->needs(to, step);
  to->needs(from, step);
  step->needs(from, to);
  initial->excludes(from, to, step, country);
  initialFile->excludes(initial, from, to, step, country);
  country->excludes(from, to, step);
  so.output = "dvb_channel.conf";  // as dvbv5-scan
  scan->add_option("-o,--output", so.output, "dvbv5 channel file, - for stdout (default: dvb_channel.conf)");
  scan->callback([&] {
    dataOnStdout = so.output == "-";
    if (*initialFile) so.initialFile = initialPositional;
    so.channels = distinctChannels(scanChannels);
    if (*from && so.toKHz < so.fromKHz) refuse("--to must not be below --from");
    if (*from && (so.toKHz - so.fromKHz) / so.stepKHz + 1 > kMaxScanFrequencies)
      refuse("--from, --to and --step make " + std::to_string((so.toKHz - so.fromKHz) / so.stepKHz + 1) +
             " frequencies; at most " + std::to_string(kMaxScanFrequencies));
    so.services = !noServices;
    if (std::string why = unknownCountry(so.country); *country && !why.empty()) refuse("--country: " + why);
    checkOutputs({so.output});
    run = [&] { return cmdScan(g, so); };
  });

  auto* zap = app.add_subcommand("zap", "tune channels of a channel file by name, and record them");
  ZapOptions zo;
  std::vector<std::string> zapChannels;
  auto* channelsFile =
      zap->add_option("-C,--channels", zo.channelsFile, "dvbv5 channel file (from scan or dvbv5-scan)");
  zap->add_option(
      "name", zo.names,
      "service (section) names, ATSC virtual channels, or service ids (a number no name matches)");
  zap->add_option("--sid", zo.serviceIds, "services by id (SERVICE_ID), as dvbv5-zap takes a number")
      ->check(countIn(0, 0xFFFF));
  zap->add_option("-c,--channel", zapChannels,
                  "tuner per name (default: the first free one); a file here is the channel file, as "
                  "dvbv5-zap has it")
      ->allow_extra_args(false);  // the names follow
  zap->add_option("-o,--output", zo.outputs, "output file per name, - for stdout (default: statistics only)");
  zap->add_flag("--service", zo.service,
                "record only the service (its PAT, PMT and streams), not the multiplex");
  zap->add_option("-t,--seconds", zo.seconds, "seconds of stream (default: until interrupted)")
      ->check(within(kMinSeconds, kMaxSeconds, "s"));
  zap->callback([&] {
    // dvbv5-zap's -c names the channel file; here -c is also the tuner (A, 1:B): what is not one is the file.
    if (!*channelsFile && !zapChannels.empty() && !parseChannel(zapChannels.front(), nullptr)) {
      zo.channelsFile = zapChannels.front();
      zapChannels.erase(zapChannels.begin());
    }
    if (zo.channelsFile.empty()) refuse("zap needs the channel file: -C FILE (or -c FILE, as dvbv5-zap)");
    const size_t wanted = zo.names.size() + zo.serviceIds.size();
    if (wanted == 0) refuse("zap needs a service: its name, or --sid N");
    if (std::string why = unreadable(zo.channelsFile); !why.empty()) refuse("--channels: " + why);
    if (!zo.outputs.empty() && zo.outputs.size() != wanted)
      refuse("each name needs its own -o (" + std::to_string(wanted) + " names, " +
             std::to_string(zo.outputs.size()) + " outputs)");
    if (!zapChannels.empty() && zapChannels.size() != wanted)
      refuse("-c must be given once per name, or not at all");
    if (zo.service && zo.outputs.empty()) refuse("--service records: it needs -o");
    for (size_t i = 0; i < zo.outputs.size(); ++i)
      if (std::count(zo.outputs.begin(), zo.outputs.end(), zo.outputs[i]) > 1)
        refuse(zo.outputs[i] == "-" ? "only one name can go to standard output"
                                    : "output " + zo.outputs[i] + " given twice");
    zo.channels = distinctChannels(zapChannels);
    checkOutputs(zo.outputs);
    dataOnStdout = std::count(zo.outputs.begin(), zo.outputs.end(), "-") > 0;
    run = [&] { return cmdZap(g, zo); };
  });

  auto* monitor = app.add_subcommand("monitor", "signal statistics every interval");
  MonitorOptions mo;
  tuningOptions(monitor, monRaw, false);
  auto* monF = monitor->get_option("-f");
  monF->required(false)->description("tune to this frequency (kHz) first");
  for (auto* o : {monRaw.bandwidth, monRaw.symbolRate, monRaw.plp}) o->needs(monF);
  monitor->add_option("--count", mo.count, "number of reports (0: until interrupted)")
      ->check(countIn(0, kMaxCount));
  monitor->add_option("--interval", mo.interval, "seconds between reports")
      ->check(within(kMinInterval, kMaxInterval, "s"));
  monitor->callback([&] {
    const bool tuned = !monRaw.freqs.empty();
    if (!tuned) monRaw.freqs = {1};
    mo.tuned = tunesOf(monitor, monRaw, false)[0];
    if (!tuned) mo.tuned.tune.frequencyKHz = 0;
    run = [&] { return cmdMonitor(g, mo); };
  });

  int card = 0;
  auto cardOption = [&](CLI::App* c) {
    c->add_option("--card", card, "card number (0-based)")->check(CLI::Range(0, kMaxCards - 1));
  };

  auto* mac = app.add_subcommand("mac", "MAC addresses in the EEPROM");
  mac->require_subcommand(1);
  int macIndex = 0;
  std::string macText;
  auto* macGet = mac->add_subcommand("get", "read one");
  macGet->add_option("--index", macIndex, "tuner index 1..8")->required()->check(CLI::Range(1, 8));
  cardOption(macGet);
  macGet->callback([&] { run = [&] { return cmdMacGet(g, card, macIndex); }; });
  auto* macSet = mac->add_subcommand("set", "write one");
  macSet->add_option("--index", macIndex, "tuner index 1..8")->required()->check(CLI::Range(1, 8));
  macSet->add_option("--mac", macText, "aa:bb:cc:dd:ee:ff")->required();
  cardOption(macSet);
  macSet->callback([&] {
    std::string error;
    auto m = parseMac(macText, &error);
    if (!m) refuse(error);
    run = [&, m = *m] { return cmdMacSet(g, card, macIndex, m); };
  });

  auto* tt = app.add_subcommand("tuner-type", "the board's standard family");
  tt->require_subcommand(1);
  auto* ttGet = tt->add_subcommand("get", "stored tuner type");
  cardOption(ttGet);
  ttGet->callback([&] { run = [&] { return cmdTunerTypeGet(g, card); }; });
  std::string ttText;
  auto* ttSet = tt->add_subcommand("set", "store a tuner type (from the next start)");
  ttSet
      ->add_option("type", ttText,
                   "1 DVB-T/T2, 3 ATSC, 4 DVB-C, 5 ISDB-T, 6 J.83B, 7 DVB-C2, 8 ISDB-C (code or name)")
      ->required();
  cardOption(ttSet);
  ttSet->callback([&] {
    std::string error;
    auto type = parseTunerType(ttText, &error);
    if (!type) refuse(error);
    run = [&, type = *type] { return cmdTunerTypeSet(g, card, type); };
  });

  auto* flash = app.add_subcommand("flash", "the configuration flash (through channel A)");
  flash->require_subcommand(1);
  auto* fid = flash->add_subcommand("id", "identification");
  cardOption(fid);
  fid->callback([&] { run = [&] { return cmdFlashId(g, card); }; });
  auto* ferase = flash->add_subcommand("erase", "erase the whole chip");
  cardOption(ferase);
  ferase->callback([&] { run = [&] { return cmdFlashErase(g, card); }; });
  std::string flashFile;
  bool verify = false;
  auto* fwrite = flash->add_subcommand("write", "erase, then program an image");
  fwrite->add_option("file", flashFile, "image")->required()->check(readable());
  fwrite->add_flag("--verify", verify, "read back and compare");
  cardOption(fwrite);
  fwrite->callback([&] { run = [&] { return cmdFlashWrite(g, card, flashFile, verify); }; });
  uint64_t readSize = 0;
  auto* fread_ = flash->add_subcommand("read", "read into a file");
  fread_->add_option("file", flashFile, "output file, - for stdout")->required();
  fread_->add_option("--size", readSize, "bytes")->required()->check(positiveCount());
  cardOption(fread_);
  fread_->callback([&] {
    dataOnStdout = flashFile == "-";
    checkOutputs({flashFile});
    run = [&] { return cmdFlashRead(g, card, flashFile, readSize); };
  });

  auto* regs = app.add_subcommand("regs", "raw I2C register access (master 0x4000)");
  regs->require_subcommand(1);
  std::string slaveText, subText, dataText;
  int len = 0;
  auto* rread = regs->add_subcommand("read", "read registers");
  rread->add_option("--slave", slaveText, "8-bit slave address")->required();
  rread->add_option("--sub", subText, "sub-address bytes, comma-separated (0..2)");
  rread->add_option("--len", len, "bytes to read (1..4)")->required()->check(CLI::Range(1, 4));
  cardOption(rread);
  rread->callback([&] {
    std::string error;
    auto slave = parseByte(slaveText, &error);
    if (!slave) refuse("--slave: " + error);
    std::vector<uint8_t> sub;
    if (!subText.empty()) {
      auto s = parseByteList(subText, &error);
      if (!s) refuse("--sub: " + error);
      if (s->size() > 2) refuse("--sub takes at most 2 bytes");
      sub = *s;
    }
    run = [&, slave = *slave, sub] { return cmdRegsRead(g, card, slave, sub, len); };
  });
  auto* rwrite = regs->add_subcommand("write", "write registers (the device receives 0x00, then the data)");
  rwrite->add_option("--slave", slaveText, "8-bit slave address")->required();
  rwrite->add_option("--data", dataText, "bytes, comma-separated (1..128)")->required();
  cardOption(rwrite);
  rwrite->callback([&] {
    std::string error;
    auto slave = parseByte(slaveText, &error);
    if (!slave) refuse("--slave: " + error);
    auto data = parseByteList(dataText, &error);
    if (!data) refuse("--data: " + error);
    if (data->size() > 128) refuse("--data takes at most 128 bytes");
    run = [&, slave = *slave, data = *data] { return cmdRegsWrite(g, card, slave, data); };
  });

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return hasJsonFlag(argc, argv) ? helpJson("help", app.help()) : app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return hasJsonFlag(argc, argv) ? helpJson("help", app.help("", CLI::AppFormatMode::All)) : app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return hasJsonFlag(argc, argv) ? helpJson("version", ZADIVO_VERSION) : app.exit(e);
  } catch (const CLI::ParseError& e) {
    setOutputs(hasJsonFlag(argc, argv), false);
    const auto rest = app.remaining();
    // An option of the dvbv5 tools is what went wrong, whatever CLI11 made of the words around it.
    if (std::string hint = dvbv5Hint(argc, argv); !hint.empty()) return usageError(hint);
    if (!app.get_subcommands().empty()) return usageError(e.what());
    if (!rest.empty() && rest.front().rfind('-', 0) != 0)
      return usageError("unknown command '" + printable(rest.front()) + "' (commands: " + commandList(app) +
                        ")");
    // No command: the usage, as a bare dvbv5 tool gives it.
    if (dynamic_cast<const CLI::RequiredError*>(&e) && !hasJsonFlag(argc, argv))
      fputs(app.help().c_str(), stderr);
    return usageError(std::string(e.what()) + " (commands: " + commandList(app) + ")");
  }
  setOutputs(g.json, dataOnStdout);
  // The environment's time scale is a number like any other: checked, not trusted.
  if (const char* env = getenv("ZADIVO_TIME_SCALE"); env && g.machine.timeScale == 0) {
    std::string error;
    auto v = parseNumberIn(env, kMinTimeScale, kMaxTimeScale, "", &error);
    if (!v) return usageError("ZADIVO_TIME_SCALE: " + error);
    g.machine.timeScale = *v;
  }
  // The Windows build of the driver, run in place of the linked one.
  if (const char* image = getenv("ZADIVO_SYS"); image && *image) {
    if (std::string why = unreadable(image); !why.empty()) return usageError("ZADIVO_SYS: " + why);
    g.machine.driverImage = image;
  }
  g.machine.imageInfo = getenv("ZADIVO_SYS_INFO") != nullptr;
  if (stateDir.empty()) stateDir = defaultStateDir();
  if (stateDir.empty()) return usageError("no state directory: set --state-dir, XDG_STATE_HOME or HOME");
  g.stateDir = stateDir;
  for (auto* log : {&g.machine.mmioLog, &g.machine.i2cLog, &g.machine.traceLog})
    if (!log->empty() && *log != "-") {
      auto dir = std::filesystem::path(*log).parent_path();
      std::error_code ec;
      if (!dir.empty() && !std::filesystem::is_directory(dir, ec))
        return usageError("log directory " + dir.string() + " does not exist");
    }
  if (!run) return 2;
  installInterruptHandlers();
  int rc = shutDown(g, run());
  // A command cut short by the user says so in its exit code; one that ended well at the interrupt is done.
  if (rc != 0 && interrupted()) rc = interruptedExitCode();
  finishJson(rc);
  if (g.abandonedThreads) {
    // Threads still inside the driver: the process ends without the teardown they would be caught in.
    fflush(nullptr);
    _exit(rc);
  }
  return rc;
}

int main(int argc, char** argv) {
  openMissingStandardDescriptors();
  try {
    return runTool(argc, argv);
  } catch (const std::exception& e) {
    errorLine(std::string("internal error: ") + e.what());
    return 1;
  }
}
