#include "sim/i2c_bus.h"

#include <algorithm>
#include <cstdio>

namespace sim {

void I2cBus::addSlave(I2cSlave* slave) {
  std::lock_guard<std::recursive_mutex> g(m_);
  if (slave && std::find(slaves_.begin(), slaves_.end(), slave) == slaves_.end()) slaves_.push_back(slave);
}

void I2cBus::removeSlave(I2cSlave* slave) {
  std::lock_guard<std::recursive_mutex> g(m_);
  slaves_.erase(std::remove(slaves_.begin(), slaves_.end(), slave), slaves_.end());
  active_.erase(std::remove(active_.begin(), active_.end(), slave), active_.end());
}

void I2cBus::setTraceSink(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::recursive_mutex> g(m_);
  sink_ = std::move(sink);
}

void I2cBus::flushLine_locked() {
  if (!line_.empty() && sink_) sink_(line_);
  line_.clear();
}

void I2cBus::endPhase_locked() {
  for (I2cSlave* s : active_) s->stop();
  active_.clear();
  flushLine_locked();
}

void I2cBus::nak_locked() {
  if (!failed_) line_ += " nak";
  failed_ = true;
  ++naks_;
}

bool I2cBus::faultNaks_locked(uint8_t addr8) {
  bool nak = false;
  for (Fault& f : faults_) {
    if (f.addr8 != addr8) continue;
    switch (f.kind) {
      case Fault::Kind::kAlways:
        nak = true;
        break;
      case Fault::Kind::kAfter:
        if (f.seen >= f.limit) nak = true;
        ++f.seen;
        break;
      case Fault::Kind::kRate:
        if (std::uniform_real_distribution<double>(0.0, 1.0)(f.rng) < f.probability) nak = true;
        break;
      case Fault::Kind::kUnreadable:
      case Fault::Kind::kDataByte:
      case Fault::Kind::kDataRate:
        break;
    }
  }
  return nak;
}

bool I2cBus::dataFault_locked(bool read, uint32_t position) {
  bool fail = false;
  for (Fault& f : faults_) {
    if (f.addr8 != addr8_) continue;
    if (f.kind == Fault::Kind::kDataRate) {
      if (std::uniform_real_distribution<double>(0.0, 1.0)(f.rng) < f.probability) fail = true;
    } else if (f.kind == Fault::Kind::kDataByte && f.read == read && f.position == position &&
               f.seen < f.limit && (read || f.firstByte < 0 || f.firstByte == firstByte_)) {
      ++f.seen;
      fail = true;
    }
  }
  return fail;
}

bool I2cBus::unreadable_locked(uint8_t addr8) const {
  for (const Fault& f : faults_)
    if (f.addr8 == addr8 && f.kind == Fault::Kind::kUnreadable) return true;
  return false;
}

bool I2cBus::start(uint8_t addr8, bool read) {
  std::lock_guard<std::recursive_mutex> g(m_);
  addr8 &= 0xFE;
  if (open_) endPhase_locked();
  open_ = true;
  failed_ = false;
  ++phases_;
  char head[32];
  std::snprintf(head, sizeof head, "0x%04x 0x%02x %c", static_cast<unsigned>(master_), addr8,
                read ? 'r' : 'w');
  line_ = head;
  if (!faultNaks_locked(addr8)) {
    for (I2cSlave* s : slaves_)
      if (s->start(addr8, read)) active_.push_back(s);
  }
  if (active_.size() > 1) ++collisions_;
  if (!read) ++writeTransfers_;
  position_ = 0;
  addr8_ = addr8;
  firstByte_ = -1;
  unreadable_ = unreadable_locked(addr8);
  if (active_.empty()) nak_locked();
  return !active_.empty();
}

bool I2cBus::write(uint8_t byte) {
  std::lock_guard<std::recursive_mutex> g(m_);
  if (!open_ || failed_) return false;
  char b[8];
  std::snprintf(b, sizeof b, " %02x", byte);
  line_ += b;
  if (position_ == 0) firstByte_ = byte;
  if (dataFault_locked(false, static_cast<uint32_t>(position_))) {
    ++position_;
    nak_locked();
    return false;
  }
  if (corrupt_) byte = corrupt_(writeTransfers_ - 1, position_, byte);
  ++position_;
  bool ack = false;
  for (I2cSlave* s : active_) ack = s->writeByte(byte) || ack;  // every slave sees the byte
  if (!ack) nak_locked();
  return ack;
}

uint8_t I2cBus::read() {
  std::lock_guard<std::recursive_mutex> g(m_);
  if (!open_ || failed_) return 0xFF;
  const bool lost = dataFault_locked(true, static_cast<uint32_t>(position_++));
  uint8_t v = 0xFF;
  if (!lost)
    for (I2cSlave* s : active_) v &= s->readByte();  // open drain: any slave pulls a bit low
  if (unreadable_) v = 0xFF;
  char b[8];
  std::snprintf(b, sizeof b, " %02x", v);
  line_ += b;
  if (lost) nak_locked();
  return v;
}

void I2cBus::stop() {
  std::lock_guard<std::recursive_mutex> g(m_);
  if (!open_) return;
  endPhase_locked();
  open_ = false;
  failed_ = false;
}

bool I2cBus::inTransfer() const {
  std::lock_guard<std::recursive_mutex> g(m_);
  return open_;
}

bool I2cBus::failed() const {
  std::lock_guard<std::recursive_mutex> g(m_);
  return failed_;
}

void I2cBus::add(Fault f) {
  std::lock_guard<std::recursive_mutex> g(m_);
  f.addr8 &= 0xFE;
  faults_.push_back(std::move(f));
}

void I2cBus::nakAlways(uint8_t addr8) { add({.addr8 = addr8, .kind = Fault::Kind::kAlways}); }

void I2cBus::nakAfter(uint8_t addr8, uint64_t answeredPhases) {
  add({.addr8 = addr8, .kind = Fault::Kind::kAfter, .limit = answeredPhases});
}

void I2cBus::nakAtRate(uint8_t addr8, double probability, uint32_t seed) {
  add({.addr8 = addr8, .kind = Fault::Kind::kRate, .probability = probability, .rng = std::mt19937(seed)});
}

void I2cBus::setUnreadable(uint8_t addr8, bool unreadable) {
  std::lock_guard<std::recursive_mutex> g(m_);
  addr8 &= 0xFE;
  faults_.erase(
      std::remove_if(faults_.begin(), faults_.end(),
                     [&](const Fault& f) { return f.addr8 == addr8 && f.kind == Fault::Kind::kUnreadable; }),
      faults_.end());
  if (unreadable) add({.addr8 = addr8, .kind = Fault::Kind::kUnreadable});
}

void I2cBus::nakDataByte(uint8_t addr8, bool read, uint32_t position, uint64_t transfers, int firstByte) {
  add({.addr8 = addr8,
       .kind = Fault::Kind::kDataByte,
       .limit = transfers,
       .read = read,
       .position = position,
       .firstByte = firstByte});
}

void I2cBus::nakDataAtRate(uint8_t addr8, double probability, uint32_t seed) {
  add({.addr8 = addr8,
       .kind = Fault::Kind::kDataRate,
       .probability = probability,
       .rng = std::mt19937(seed)});
}

void I2cBus::setWriteCorruption(WriteCorruption hook) {
  std::lock_guard<std::recursive_mutex> g(m_);
  corrupt_ = std::move(hook);
  writeTransfers_ = 0;
}

void I2cBus::clearFaults() {
  std::lock_guard<std::recursive_mutex> g(m_);
  faults_.clear();
}

uint64_t I2cBus::collisions() const {
  std::lock_guard<std::recursive_mutex> g(m_);
  return collisions_;
}
uint64_t I2cBus::addressPhases() const {
  std::lock_guard<std::recursive_mutex> g(m_);
  return phases_;
}
uint64_t I2cBus::naks() const {
  std::lock_guard<std::recursive_mutex> g(m_);
  return naks_;
}

}  // namespace sim
