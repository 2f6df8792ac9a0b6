#include "tools/zadivo/emulation.h"

#include <cerrno>
#include <cstring>

#include "platform/host/clock.h"
#include "platform/host/host.h"
#include "tools/machine.h"
#include "tools/zadivo/interrupt.h"

namespace zadivo::tool {

namespace {

std::string statusHex(NTSTATUS s) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(s));
  return buf;
}

}  // namespace

std::unique_ptr<Emulation> Emulation::start(const MachineOptions& o,
                                            const std::function<bool(int, std::string*)>& started,
                                            std::string* error) {
  std::unique_ptr<Emulation> em(new Emulation());
  if (o.timeScale > 0) host::clock::setScale(o.timeScale);
  // A log FIFO without a reader is waited on until the user interrupts (the process is single-threaded yet).
  auto cannotOpen = [&](const std::string& path) {
    if (error)
      *error = errno == EINTR ? "interrupted while waiting for a reader of " + path
                              : "cannot open " + path + ": " + strerror(errno);
    return nullptr;
  };
  if (o.traceLog.empty()) {
    host::trace::discard();
  } else if (o.traceLog == "-") {
    host::trace::toStderr();
  } else if (!host::trace::toFile(o.traceLog)) {
    return cannotOpen(o.traceLog);
  } else {
    em->traceLog_ = o.traceLog;
  }
  for (auto [path, log] : {std::pair{&o.mmioLog, &em->mmio_}, std::pair{&o.i2cLog, &em->i2c_}}) {
    if (path->empty()) continue;
    log->path = *path;
    log->file = *path == "-" ? stderr : fopen(path->c_str(), "w");
    if (!log->file) return cannotOpen(*path);
  }
  // From here the machine's threads run: a signal may land on any of them.
  setBlockingCallsInterruptible(false);

  zadivo::MachineConfig cfg;
  cfg.cards = o.cards;
  cfg.stateDir = o.stateDir;
  em->stateDir_ = o.stateDir;
  cfg.air = o.air;
  cfg.echoCardErrors = false;
  cfg.traceLevel = o.traceLevel;
  cfg.driverImage = o.driverImage;
  cfg.imageInfo = o.imageInfo;
  em->machine_ = std::make_unique<zadivo::Machine>(cfg);
  if (!em->machine_->driverError().empty()) {
    if (error) *error = em->machine_->driverError();
    return nullptr;
  }
  if (!NT_SUCCESS(em->machine_->driverStatus())) {
    if (error) *error = "driver failed to load (status " + statusHex(em->machine_->driverStatus()) + ")";
    return nullptr;
  }
  for (int i = 0; i < o.cards; ++i) {
    if (em->mmio_.file) em->machine_->card(i).setMmioTrace(em->mmio_.file);
    if (em->i2c_.file) em->machine_->card(i).setI2cTrace(em->i2c_.file);
  }
  for (int i = 0; i < o.cards; ++i) {
    NTSTATUS s = em->machine_->start(i);
    if (!NT_SUCCESS(s)) {
      if (error) *error = "card " + std::to_string(i) + " failed to start (status " + statusHex(s) + ")";
      return nullptr;
    }
    if (!started(i, error)) return nullptr;
  }
  return em;
}

Emulation::~Emulation() { stop(); }

std::vector<std::string> Emulation::stop() {
  machine_.reset();  // removes the cards
  std::vector<std::string> errors = flushLogs();
  for (Log* log : {&mmio_, &i2c_}) {
    if (log->file && log->file != stderr && fclose(log->file) != 0 && errors.empty())
      errors.push_back("cannot write " + log->path + ": " + strerror(errno));
    log->file = nullptr;
  }
  if (!traceLog_.empty()) host::trace::discard();  // closes the file
  traceLog_.clear();
  return errors;
}

std::vector<std::string> Emulation::flushLogs() {
  std::vector<std::string> errors;
  for (Log* log : {&mmio_, &i2c_}) {
    if (!log->file || log->file == stderr) continue;
    // ferror keeps a failed write of the card's, whose errno is long gone; the flush usually fails alike.
    const int err = fflush(log->file) != 0 ? errno : EIO;
    if (ferror(log->file) || err != EIO) errors.push_back("cannot write " + log->path + ": " + strerror(err));
  }
  if (const int err = host::trace::writeError(); err && !traceLog_.empty())
    errors.push_back("cannot write " + traceLog_ + ": " + strerror(err));
  return errors;
}

std::vector<std::string> Emulation::cardErrors() {
  std::vector<std::string> all;
  if (!machine_) return all;
  for (int i = 0; i < machine_->cardCount(); ++i)
    for (auto& e : machine_->card(i).errors()) all.push_back("card " + std::to_string(i) + ": " + e);
  return all;
}

std::vector<std::string> Emulation::storageErrors() {
  std::vector<std::string> found;
  if (stateDir_.empty()) return found;
  for (auto& e : cardErrors())
    if (e.find(stateDir_ + "/") != std::string::npos) found.push_back(e);
  return found;
}

std::string eepromImagePath(const std::string& stateDir, int card) {
  return zadivo::Machine::eepromPath(stateDir, card);
}
std::string flashImagePath(const std::string& stateDir, int card) {
  return zadivo::Machine::flashPath(stateDir, card);
}

namespace platform_time {
int64_t nowNs() { return host::clock::nowNs(); }
void sleepNs(int64_t platformNs) { host::clock::sleepNs(platformNs); }
double scale() { return host::clock::scale(); }
}  // namespace platform_time

}  // namespace zadivo::tool
