#include "tools/machine.h"

#include <cstdio>

#include "platform/host/loader/trap.h"

namespace zadivo {

sim::CardConfig Machine::cardConfig(int index) {
  sim::CardConfig cfg;
  cfg.busNumber = 3 + static_cast<uint32_t>(index);  // each card on its own bus: distinct board ids
  cfg.slot = 0;
  cfg.uiNumber = 1 + static_cast<uint32_t>(index);
  cfg.bar0Address = 0xF7000000ull - 0x100000ull * static_cast<uint64_t>(index);
  cfg.interruptVector = 16 + static_cast<uint32_t>(index);
  return cfg;
}

std::string Machine::eepromPath(const std::string& stateDir, int card) {
  return stateDir.empty() ? std::string() : stateDir + "/card" + std::to_string(card) + ".eeprom";
}

std::string Machine::flashPath(const std::string& stateDir, int card) {
  return stateDir.empty() ? std::string() : stateDir + "/card" + std::to_string(card) + ".flash";
}

Machine::Machine(MachineConfig config) : air_(config.air ? config.air : sim::Air::makeDefault()) {
  PDRIVER_INITIALIZE entry = nullptr;
  if (!config.driverImage.empty()) {
    image_ = host::loader::Image::load(config.driverImage, &driverError_);
    if (image_) {
      entry = image_->entry();
      traceLevel_ = static_cast<LONG*>(image_->symbol("ZadivoTraceLevel"));
      imageInfo_ = config.imageInfo;
      if (imageInfo_)
        fprintf(
            stderr,
            "zadivo: %s loaded at 0x%lx, %zu relocations, %zu imports; gdb: add-symbol-file %s -o 0x%lx\n",
            image_->path().c_str(), static_cast<unsigned long>(image_->base()), image_->relocations(),
            image_->imports().size(), image_->path().c_str(), static_cast<unsigned long>(image_->delta()));
    }
  } else {
    const LinkedDriver linked = linkedDriver();
    entry = linked.entry;
    traceLevel_ = linked.traceLevel;
    if (!entry) driverError_ = "no driver is linked into this program: name a zadivo.sys to load";
  }
  if (config.traceLevel >= 0) setTraceLevel(config.traceLevel);
  if (entry) driverStatus_ = pnp_.loadDriver(entry);
  for (int i = 0; i < config.cards; ++i) {
    sim::CardConfig cfg = cardConfig(i);
    cfg.eepromFile = eepromPath(config.stateDir, i);
    cfg.flashFile = flashPath(config.stateDir, i);
    cfg.echoErrors = config.echoCardErrors;
    auto slot = std::make_unique<Slot>();
    slot->card = std::make_unique<sim::Card>(cfg);
    slot->frontEnds = std::make_unique<sim::FrontEnds>(*slot->card, air_, config.chips);
    cards_.push_back(std::move(slot));
  }
}

Machine::~Machine() {
  for (int i = 0; i < cardCount(); ++i) remove(i);
  if (imageInfo_) {
    const auto t = host::loader::trap::counts();
    fprintf(
        stderr, "zadivo: traps: %llu CR8 reads, %llu CR8 writes, %llu register reads, %llu register writes\n",
        static_cast<unsigned long long>(t.cr8Reads), static_cast<unsigned long long>(t.cr8Writes),
        static_cast<unsigned long long>(t.registerReads), static_cast<unsigned long long>(t.registerWrites));
  }
}

NTSTATUS Machine::start(int i) {
  Slot& s = *cards_.at(i);
  if (!NT_SUCCESS(driverStatus_)) return driverStatus_;
  if (!s.added) {
    NTSTATUS status = pnp_.addCard(*s.card);
    if (!NT_SUCCESS(status)) return status;
    s.added = true;
  }
  return pnp_.start(*s.card);
}

NTSTATUS Machine::startAll() {
  for (int i = 0; i < cardCount(); ++i) {
    NTSTATUS status = start(i);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

void Machine::setTraceLevel(LONG level) {
  if (traceLevel_) *traceLevel_ = level;
}

NTSTATUS Machine::stop(int i) { return pnp_.stop(*cards_.at(i)->card); }

NTSTATUS Machine::remove(int i, host::Leftovers* leftovers) {
  Slot& s = *cards_.at(i);
  if (!s.added) return STATUS_SUCCESS;
  s.added = false;
  return pnp_.remove(*s.card, leftovers);
}

}  // namespace zadivo
