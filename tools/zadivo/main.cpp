// zadivo: status, tuning, capture, scan, monitoring and board storage of the simulated eight-tuner card, as a
// BDA application on the emulated machine. Arguments are checked before any card is touched.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>

#include "tools/zadivo/commands.h"
#include "tools/zadivo/interrupt.h"
#include "tools/zadivo/state_dir.h"

using namespace zadivo::tool;

namespace {

struct Raw {
  std::vector<std::string> channels;
  std::vector<uint32_t> freqs;
  std::vector<uint32_t> bandwidths;
  std::vector<uint32_t> symbolRates;
  std::vector<int> plps;
  std::vector<std::string> outputs;
};

// Validation failures raised from callbacks end up as one line and exit code 2.
[[noreturn]] void refuse(const std::string& what) { throw CLI::ValidationError(what); }

// Every number is checked against its real range here, before CLI11 converts it.
// clang-format off
constexpr double kMinTimeScale = 0.001, kMaxTimeScale = 100;   // real time per unit of platform time
constexpr double kMinSeconds = 0.001, kMaxSeconds = 1e9;        // of stream
constexpr double kMinInterval = 0.01, kMaxInterval = 86400;     // between monitor reports
constexpr uint64_t kMaxScanFrequencies = 100000;
// clang-format on

CLI::Validator within(double lo, double hi, const char* unit) {
  return CLI::Validator(
      [=](std::string& text) {
        std::string error;
        return parseNumberIn(text, lo, hi, unit, &error) ? std::string() : error;
      },
      "");
}

CLI::Validator positiveCount() {
  return CLI::Validator(
      [](std::string& text) {
        auto v = parseUnsigned(text);
        return v && *v > 0 ? std::string() : "'" + text.substr(0, 40) + "' is not a whole number above 0";
      },
      "");
}

CLI::Validator tunerFrequency() {
  return CLI::Validator(
      [](std::string& text) {
        auto v = parseUnsigned(text);
        if (!v) return "'" + text.substr(0, 40) + "' is not a frequency in kHz";
        return frequencyProblem(*v);
      },
      "");
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

// -b/-s/--plp: absent, one value for every channel, or one per channel.
template <class T>
T perChannel(const std::vector<T>& v, size_t i, T none, const char* name) {
  if (v.empty()) return none;
  if (v.size() == 1) return v[0];
  if (i >= v.size()) refuse(std::string(name) + " must be given once or once per -c");
  return v[i];
}

std::vector<ChannelTune> tunesOf(const Raw& r, bool needOutput) {
  if (r.channels.size() != r.freqs.size())
    refuse("each -c needs its own -f (" + std::to_string(r.channels.size()) + " channels, " +
           std::to_string(r.freqs.size()) + " frequencies)");
  if (needOutput && r.outputs.size() != r.channels.size())
    refuse("each -c needs its own -o (" + std::to_string(r.channels.size()) + " channels, " +
           std::to_string(r.outputs.size()) + " outputs)");
  for (auto* v : {&r.bandwidths, &r.symbolRates})
    if (v->size() > 1 && v->size() != r.channels.size())
      refuse("-b and -s must be given once or once per -c");
  if (r.plps.size() > 1 && r.plps.size() != r.channels.size())
    refuse("--plp must be given once or once per -c");
  std::vector<ChannelTune> out;
  for (size_t i = 0; i < r.channels.size(); ++i) {
    ChannelTune t;
    t.channel = channelOf(r.channels[i]);
    for (auto& o : out)
      if (o.channel == t.channel) refuse("channel " + r.channels[i] + " given twice");
    if (r.freqs[i] == 0) refuse("frequency 0 kHz is not a channel");
    t.tune.frequencyKHz = r.freqs[i];
    const uint32_t mhz = perChannel<uint32_t>(r.bandwidths, i, 0, "-b");
    if (mhz && (mhz < 1 || mhz > 10))
      refuse("bandwidth " + std::to_string(mhz) + " MHz is not one of 1..10 MHz");
    t.tune.bandwidthHz = mhz * 1000000;
    t.tune.symbolRateKsps = perChannel<uint32_t>(r.symbolRates, i, 0, "-s");
    const int plp = perChannel<int>(r.plps, i, -1, "--plp");
    if (r.plps.size() && (plp < 0 || plp > 255)) refuse("--plp " + std::to_string(plp) + " is not 0..255");
    t.tune.streamId = plp;
    if (needOutput) {
      t.output = r.outputs[i];
      for (auto& o : out)
        if (o.output == t.output && t.output != "-") refuse("output " + t.output + " given twice");
      if (t.output == "-" && std::count(r.outputs.begin(), r.outputs.end(), "-") > 1)
        refuse("only one channel can go to standard output");
    }
    out.push_back(std::move(t));
  }
  return out;
}

void tuningOptions(CLI::App* c, Raw& r, bool several) {
  auto* ch =
      c->add_option("-c,--channel", r.channels, "channel A..H, optionally card-prefixed (1:A)")->required();
  auto* f = c->add_option("-f,--frequency", r.freqs, "frequency in kHz")->required()->check(tunerFrequency());
  c->add_option("-b,--bandwidth", r.bandwidths, "bandwidth in MHz");
  c->add_option("-s,--symbol-rate", r.symbolRates, "symbol rate in kS/s")->check(within(1000, 7200, "kS/s"));
  c->add_option("--plp", r.plps, "PLP or stream id");
  if (!several) {
    ch->expected(1);
    f->expected(1);
  }
}

}  // namespace

// Parses, checks and runs one command; its exit code.
int runTool(int argc, char** argv) {
  CLI::App app{"zadivo: the eight-tuner digital TV card on the emulated machine"};
  app.require_subcommand(1);
  Globals g;
  std::string stateDir;
  app.add_option("--air", g.airFile, "broadcast environment (dvbv5-style channel file)")
      ->check(CLI::ExistingPath);
  app.add_option("--cards", g.machine.cards, "number of cards")->check(CLI::Range(1, 8));
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
  Raw raw;

  app.add_subcommand("air", "the multiplexes on the air (--air FILE, else the built-in one)")->callback([&] {
    run = [&] { return cmdAir(g); };
  });

  app.add_subcommand("status", "every channel of every card")->callback([&] {
    run = [&] { return cmdStatus(g); };
  });

  auto* tune = app.add_subcommand("tune", "tune one channel and report lock");
  tuningOptions(tune, raw, false);
  tune->callback([&] {
    auto t = tunesOf(raw, false);
    run = [&g, t] { return cmdTune(g, t[0]); };
  });

  auto* capture = app.add_subcommand("capture", "record transport streams");
  tuningOptions(capture, raw, true);
  capture->add_option("-o,--output", raw.outputs, "output file per channel, - for stdout")->required();
  CaptureOptions co;
  auto* secs = capture->add_option("--seconds", co.seconds, "seconds of stream (default: until interrupted)")
                   ->check(within(kMinSeconds, kMaxSeconds, "s"));
  auto* pkts =
      capture->add_option("--packets", co.packets, "packets per channel (default: until interrupted)")
          ->check(positiveCount());
  secs->excludes(pkts);
  capture->callback([&] {
    co.channels = tunesOf(raw, true);
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
  auto* step = scan->add_option("--step", so.stepKHz, "step (kHz)")
                   ->check(within(1, static_cast<double>(kTunerMaxKHz), "kHz"));
  auto* initial =
      scan->add_option("--initial", so.initialFile, "dvbv5 channel file of frequencies (dtv-scan-tables)")
          ->check(CLI::ExistingPath);
  auto* country =
      scan->add_option("--country", so.country, "the country's channel plan (DE, GB, AU, US, BR, JP, ...)");
  scan->add_flag("--no-services", noServices,
                 "one entry per multiplex, without reading its services (faster)");
  from->needs(to, step);
  to->needs(from, step);
  step->needs(from, to);
  initial->excludes(from, to, step, country);
  country->excludes(from, to, step);
  scan->add_option("-o,--output", so.output, "dvbv5 channel file, - for stdout")->required();
  scan->callback([&] {
    so.channels = distinctChannels(scanChannels);
    if (*from && so.toKHz < so.fromKHz) refuse("--to must not be below --from");
    if (*from && (so.toKHz - so.fromKHz) / so.stepKHz + 1 > kMaxScanFrequencies)
      refuse("--from, --to and --step make " + std::to_string((so.toKHz - so.fromKHz) / so.stepKHz + 1) +
             " frequencies; at most " + std::to_string(kMaxScanFrequencies));
    so.services = !noServices;
    run = [&] { return cmdScan(g, so); };
  });

  auto* zap = app.add_subcommand("zap", "tune channels of a channel file by name, and record them");
  ZapOptions zo;
  std::vector<std::string> zapChannels;
  zap->add_option("-C,--channels", zo.channelsFile, "dvbv5 channel file (from scan or dvbv5-scan)")
      ->required()
      ->check(CLI::ExistingPath);
  zap->add_option("name", zo.names, "service (section) names, or ATSC virtual channels")->required();
  zap->add_option("-c,--channel", zapChannels, "tuner per name (default: the first free one)");
  zap->add_option("-o,--output", zo.outputs, "output file per name, - for stdout (default: statistics only)");
  zap->add_flag("--service", zo.service,
                "record only the service (its PAT, PMT and streams), not the multiplex");
  zap->add_option("-t,--seconds", zo.seconds, "seconds of stream (default: until interrupted)")
      ->check(within(kMinSeconds, kMaxSeconds, "s"));
  zap->callback([&] {
    if (!zo.outputs.empty() && zo.outputs.size() != zo.names.size())
      refuse("each name needs its own -o (" + std::to_string(zo.names.size()) + " names, " +
             std::to_string(zo.outputs.size()) + " outputs)");
    if (!zapChannels.empty() && zapChannels.size() != zo.names.size())
      refuse("-c must be given once per name, or not at all");
    if (zo.service && zo.outputs.empty()) refuse("--service records: it needs -o");
    for (size_t i = 0; i < zo.outputs.size(); ++i)
      if (std::count(zo.outputs.begin(), zo.outputs.end(), zo.outputs[i]) > 1)
        refuse(zo.outputs[i] == "-" ? "only one name can go to standard output"
                                    : "output " + zo.outputs[i] + " given twice");
    zo.channels = distinctChannels(zapChannels);
    run = [&] { return cmdZap(g, zo); };
  });

  auto* monitor = app.add_subcommand("monitor", "signal statistics every interval");
  MonitorOptions mo;
  std::string monChannel;
  uint32_t monFreq = 0, monBw = 0, monSr = 0;
  int monPlp = -1;
  monitor->add_option("-c,--channel", monChannel, "channel")->required();
  auto* monF = monitor->add_option("-f,--frequency", monFreq, "tune to this frequency (kHz) first")
                   ->check(tunerFrequency());
  auto* monB = monitor->add_option("-b,--bandwidth", monBw, "bandwidth in MHz");
  auto* monS = monitor->add_option("-s,--symbol-rate", monSr, "symbol rate in kS/s")
                   ->check(within(1000, 7200, "kS/s"));
  auto* monP = monitor->add_option("--plp", monPlp, "PLP or stream id")->check(CLI::Range(0, 255));
  for (auto* o : {monB, monS, monP}) o->needs(monF);
  monitor->add_option("--count", mo.count, "number of reports (0: until interrupted)")
      ->check(CLI::NonNegativeNumber);
  monitor->add_option("--interval", mo.interval, "seconds between reports")
      ->check(within(kMinInterval, kMaxInterval, "s"));
  monitor->callback([&] {
    raw.channels = {monChannel};
    raw.freqs = {monFreq ? monFreq : 1};
    if (monBw) raw.bandwidths = {monBw};
    if (monSr) raw.symbolRates = {monSr};
    if (monPlp >= 0) raw.plps = {monPlp};
    mo.tuned = tunesOf(raw, false)[0];
    mo.tuned.tune.frequencyKHz = monFreq;
    run = [&] { return cmdMonitor(g, mo); };
  });

  int card = 0;
  auto cardOption = [&](CLI::App* c) {
    c->add_option("--card", card, "card number (0-based)")->check(CLI::Range(0, 7));
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
  int ttValue = 0;
  auto* ttSet = tt->add_subcommand("set", "store a tuner type (from the next start)");
  ttSet->add_option("type", ttValue, "1 DVB-T/T2, 3 ATSC, 4 DVB-C, 5 ISDB-T, 6 J.83B, 7 DVB-C2, 8 ISDB-C")
      ->required()
      ->check(CLI::Range(0, 255));
  cardOption(ttSet);
  ttSet->callback([&] { run = [&] { return cmdTunerTypeSet(g, card, ttValue); }; });

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
  fwrite->add_option("file", flashFile, "image")->required()->check(CLI::ExistingFile);
  fwrite->add_flag("--verify", verify, "read back and compare");
  cardOption(fwrite);
  fwrite->callback([&] { run = [&] { return cmdFlashWrite(g, card, flashFile, verify); }; });
  uint64_t readSize = 0;
  auto* fread_ = flash->add_subcommand("read", "read into a file");
  fread_->add_option("file", flashFile, "output file, - for stdout")->required();
  fread_->add_option("--size", readSize, "bytes")->required()->check(positiveCount());
  cardOption(fread_);
  fread_->callback([&] { run = [&] { return cmdFlashRead(g, card, flashFile, readSize); }; });

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
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    fprintf(stderr, "zadivo: %s\n", e.what());
    return 2;
  }
  // The environment's time scale is a number like any other: checked, not trusted.
  if (const char* env = getenv("ZADIVO_TIME_SCALE"); env && g.machine.timeScale == 0) {
    std::string error;
    auto v = parseNumberIn(env, kMinTimeScale, kMaxTimeScale, "", &error);
    if (!v) {
      errorLine("ZADIVO_TIME_SCALE: " + error);
      return 2;
    }
    g.machine.timeScale = *v;
  }
  // The Windows build of the driver, run in place of the linked one.
  if (const char* image = getenv("ZADIVO_SYS"); image && *image) g.machine.driverImage = image;
  g.machine.imageInfo = getenv("ZADIVO_SYS_INFO") != nullptr;
  if (stateDir.empty()) stateDir = defaultStateDir();
  if (stateDir.empty()) {
    errorLine("no state directory: set --state-dir, XDG_STATE_HOME or HOME");
    return 2;
  }
  g.stateDir = stateDir;
  for (auto* log : {&g.machine.mmioLog, &g.machine.i2cLog, &g.machine.traceLog})
    if (!log->empty() && *log != "-") {
      auto dir = std::filesystem::path(*log).parent_path();
      std::error_code ec;
      if (!dir.empty() && !std::filesystem::is_directory(dir, ec)) {
        errorLine("log directory " + dir.string() + " does not exist");
        return 2;
      }
    }
  if (!run) return 2;
  installInterruptHandlers();
  const int rc = run();
  // A command cut short by the user says so in its exit code; one that ended well at the interrupt is done.
  return rc != 0 && interrupted() ? interruptedExitCode() : rc;
}

int main(int argc, char** argv) {
  try {
    return runTool(argc, argv);
  } catch (const std::exception& e) {
    errorLine(std::string("internal error: ") + e.what());
    return 1;
  }
}
