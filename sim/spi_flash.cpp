#include "sim/spi_flash.h"

#include <cstdio>
#include <cstring>

#include "hw/spi_regs.h"
#include "platform/host/clock.h"
#include "sim/backing_file.h"

namespace sim {

namespace op = hw::spi::op;

SpiFlash::SpiFlash(std::string backingFile, std::function<void(const std::string&)> errorLog)
    : mem_(kSize, 0xFF), file_(std::move(backingFile)), errorLog_(std::move(errorLog)) {
  if (file_.empty()) return;
  switch (loadImage(file_, kSize, mem_)) {
    case LoadResult::kLoaded:
      persist_ = fileExists_ = true;
      break;
    case LoadResult::kMissing:
      persist_ = true;
      break;
    case LoadResult::kWrongSize:
      log("flash file " + file_ + " is not 4 MiB; not used, left as it is");
      break;
    case LoadResult::kUnreadable:
      log("flash file " + file_ + " is unreadable; not used");
      break;
  }
}

void SpiFlash::log(const std::string& msg) const {
  if (errorLog_) errorLog_(msg);
}

bool SpiFlash::busy_locked() const {
  if (heldBusy_) return true;
  if (busy_ && host::clock::nowNs() >= busyStart_ + (busyErase_ ? eraseNs_ : programNs_)) {
    busy_ = false;
    if (busyClearsWel_) wel_ = false;  // the latch resets when the operation ends
    busyClearsWel_ = false;
  }
  return busy_;
}

uint8_t SpiFlash::status_locked() const {
  bool busy = busy_locked();
  return static_cast<uint8_t>((busy ? kStatusWip : 0) | (wel_ ? kStatusWel : 0));
}

void SpiFlash::persistAll_locked() {
  if (!persist_) return;
  std::string err;
  if (replaceImage(file_, mem_.data(), kSize, &err))
    fileExists_ = true;
  else
    log("flash: " + err);
}

void SpiFlash::persistRange_locked(size_t offset, size_t len) {
  if (!persist_) return;
  if (!fileExists_) return persistAll_locked();
  // A whole-image rewrite per 256-byte page would rewrite 4 MiB per page; the page is patched in place.
  std::string err;
  if (!patchImage(file_, offset, mem_.data() + offset, len, &err)) log("flash: " + err);
}

void SpiFlash::select() {
  std::lock_guard<std::mutex> g(m_);
  selected_ = true;
  pos_ = 0;
  opcode_ = 0;
  addr_ = 0;
  ignored_ = false;
  pageData_ = false;
  pageTouched_.fill(false);
}

uint8_t SpiFlash::transfer(uint8_t out) {
  std::lock_guard<std::mutex> g(m_);
  if (!selected_) return 0xFF;
  int pos = pos_++;
  if (pos == 0) {
    opcode_ = out;
    if (busy_locked() && out != op::kReadStatus) {
      ignored_ = true;
      char b[64];
      std::snprintf(b, sizeof b, "flash command 0x%02x while busy, ignored", out);
      log(b);
      return 0xFF;
    }
    switch (out) {
      case op::kWriteEnable:
        wel_ = true;
        break;
      case op::kWriteDisable:
        wel_ = false;
        break;
      case op::kReadStatus:
      case op::kReadId:
      case op::kWake:
      case op::kRead:
      case op::kChipErase:
      case op::kChipEraseToo:
      case op::kPageProgram:
        break;
      default: {
        ignored_ = true;
        char b[64];
        std::snprintf(b, sizeof b, "flash opcode 0x%02x not supported", out);
        log(b);
      }
    }
    return 0xFF;
  }
  if (ignored_) return 0xFF;
  switch (opcode_) {
    case op::kReadStatus:
      if (busyReads_ > 0) {
        --busyReads_;
        return static_cast<uint8_t>(kStatusWip | (wel_ ? kStatusWel : 0));
      }
      return status_locked();
    case op::kReadId:
      return pos <= 3 ? kId[pos - 1] : 0x00;
    case op::kWake:
      return pos >= 4 ? kElectronicId : 0xFF;
    case op::kRead:
      if (pos <= 3) {
        addr_ = ((addr_ << 8) | out) & (kSize - 1);
        return 0xFF;
      } else {
        uint8_t v = mem_[addr_];
        addr_ = (addr_ + 1) & (kSize - 1);
        return v;
      }
    case op::kPageProgram:
      if (pos <= 3) {
        addr_ = ((addr_ << 8) | out) & (kSize - 1);
      } else {
        // The column wraps inside the page; a later byte for the same column replaces the earlier one.
        size_t col = addr_ & (kPage - 1);
        pageBuf_[col] = out;
        pageTouched_[col] = true;
        pageData_ = true;
        addr_ = static_cast<uint32_t>((addr_ & ~(kPage - 1)) | ((col + 1) & (kPage - 1)));
      }
      return 0xFF;
    default:
      return 0xFF;
  }
}

void SpiFlash::deselect() {
  std::lock_guard<std::mutex> g(m_);
  if (!selected_) return;
  selected_ = false;
  if (ignored_ || pos_ == 0) return;
  const int64_t now = host::clock::nowNs();
  switch (opcode_) {
    case op::kChipErase:
    case op::kChipEraseToo:
      if (!wel_) {
        log("flash chip erase without write enable, ignored");
        return;
      }
      std::memset(mem_.data(), 0xFF, kSize);
      ++erases_;
      busy_ = true;
      busyStart_ = now;
      busyErase_ = true;
      busyClearsWel_ = true;
      persistAll_locked();
      return;
    case op::kPageProgram: {
      if (pos_ < 4) {
        log("flash page program with a short address, ignored");
        return;
      }
      if (!wel_) {
        log("flash page program without write enable, ignored");
        return;
      }
      if (!pageData_) {
        wel_ = false;
        return;
      }
      size_t base = addr_ & ~(kPage - 1);
      for (size_t i = 0; i < kPage; ++i)
        if (pageTouched_[i]) mem_[base + i] &= pageBuf_[i];  // NOR programming only clears bits
      ++programs_;
      busy_ = true;
      busyStart_ = now;
      busyErase_ = false;
      busyClearsWel_ = true;
      persistRange_locked(base, kPage);
      return;
    }
    default:
      return;
  }
}

std::vector<uint8_t> SpiFlash::read(size_t offset, size_t len) const {
  std::lock_guard<std::mutex> g(m_);
  std::vector<uint8_t> out;
  for (size_t i = 0; i < len && offset + i < kSize; ++i) out.push_back(mem_[offset + i]);
  return out;
}

void SpiFlash::load(size_t offset, const uint8_t* data, size_t len) {
  std::lock_guard<std::mutex> g(m_);
  for (size_t i = 0; i < len && offset + i < kSize; ++i) mem_[offset + i] = data[i];
  persistAll_locked();
}

uint8_t SpiFlash::status() const {
  std::lock_guard<std::mutex> g(m_);
  return status_locked();
}

void SpiFlash::holdBusy(bool busy) {
  std::lock_guard<std::mutex> g(m_);
  heldBusy_ = busy;
}

void SpiFlash::busyForStatusReads(uint32_t reads) {
  std::lock_guard<std::mutex> g(m_);
  busyReads_ = reads;
}

void SpiFlash::setTimings(int64_t eraseNs, int64_t programNs) {
  std::lock_guard<std::mutex> g(m_);
  eraseNs_ = eraseNs;
  programNs_ = programNs;
}

uint64_t SpiFlash::erases() const {
  std::lock_guard<std::mutex> g(m_);
  return erases_;
}
uint64_t SpiFlash::programs() const {
  std::lock_guard<std::mutex> g(m_);
  return programs_;
}

}  // namespace sim
