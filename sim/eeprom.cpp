#include "sim/eeprom.h"

#include <cstring>

#include "platform/host/clock.h"
#include "sim/backing_file.h"

namespace sim {

Eeprom::Eeprom(std::string backingFile, std::function<void(const std::string&)> errorLog)
    : file_(std::move(backingFile)), errorLog_(std::move(errorLog)) {
  mem_.fill(0xFF);
  if (file_.empty()) return;
  std::vector<uint8_t> img;
  switch (loadImage(file_, kSize, img)) {
    case LoadResult::kLoaded:
      std::memcpy(mem_.data(), img.data(), kSize);
      persist_ = true;
      break;
    case LoadResult::kMissing:
      persist_ = true;  // created at the first write
      break;
    case LoadResult::kWrongSize:
      if (errorLog_) errorLog_("eeprom file " + file_ + " is not 256 bytes; not used, left as it is");
      break;
    case LoadResult::kUnreadable:
      if (errorLog_) errorLog_("eeprom file " + file_ + " is unreadable; not used");
      break;
  }
}

bool Eeprom::busy_locked() const {
  return heldBusy_ || (cycling_ && host::clock::nowNs() < cycleStart_ + cycleNs_);
}

bool Eeprom::start(uint8_t addr8, bool read) {
  std::lock_guard<std::mutex> g(m_);
  if ((addr8 & 0xFE) != kAddress || busy_locked()) return false;
  selected_ = true;
  reading_ = read;
  pointerSet_ = false;
  pending_ = false;
  return true;
}

bool Eeprom::writeByte(uint8_t byte) {
  std::lock_guard<std::mutex> g(m_);
  if (!selected_ || reading_) return false;
  if (!pointerSet_) {
    pointer_ = byte;
    pointerSet_ = true;
    staged_ = mem_;
    touched_.fill(false);
    return true;
  }
  staged_[pointer_] = byte;
  touched_[pointer_] = true;
  pending_ = true;
  // The page latch wraps: the pointer's low bits roll over inside the page.
  pointer_ = static_cast<uint8_t>((pointer_ & ~(kPage - 1)) | ((pointer_ + 1) & (kPage - 1)));
  return true;
}

uint8_t Eeprom::readByte() {
  std::lock_guard<std::mutex> g(m_);
  if (!selected_ || !reading_) return 0xFF;
  uint8_t v = mem_[pointer_];
  pointer_ = static_cast<uint8_t>(pointer_ + 1);
  return v;
}

void Eeprom::commit_locked() {
  for (size_t i = 0; i < kSize; ++i)
    if (touched_[i]) mem_[i] = staged_[i];
  pending_ = false;
  ++cycles_;
  cycling_ = true;
  cycleStart_ = host::clock::nowNs();
  if (persist_) {
    std::string err;
    if (!replaceImage(file_, mem_.data(), kSize, &err) && errorLog_) errorLog_("eeprom: " + err);
  }
}

void Eeprom::stop() {
  std::lock_guard<std::mutex> g(m_);
  if (selected_ && pending_) commit_locked();
  selected_ = false;
}

std::array<uint8_t, Eeprom::kSize> Eeprom::contents() const {
  std::lock_guard<std::mutex> g(m_);
  return mem_;
}

void Eeprom::setContents(size_t offset, const uint8_t* data, size_t len) {
  std::lock_guard<std::mutex> g(m_);
  for (size_t i = 0; i < len && offset + i < kSize; ++i) mem_[offset + i] = data[i];
  if (persist_) {
    std::string err;
    if (!replaceImage(file_, mem_.data(), kSize, &err) && errorLog_) errorLog_("eeprom: " + err);
  }
}

void Eeprom::holdBusy(bool busy) {
  std::lock_guard<std::mutex> g(m_);
  heldBusy_ = busy;
}

bool Eeprom::busy() const {
  std::lock_guard<std::mutex> g(m_);
  return busy_locked();
}

void Eeprom::setWriteCycle(int64_t ns) {
  std::lock_guard<std::mutex> g(m_);
  cycleNs_ = ns;
}

uint64_t Eeprom::writeCycles() const {
  std::lock_guard<std::mutex> g(m_);
  return cycles_;
}

}  // namespace sim
