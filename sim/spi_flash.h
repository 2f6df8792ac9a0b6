// The card's SPI NOR flash (4 MiB) as seen on its chip-select and data lines: JEDEC id, release from deep
// power-down, status with write-in-progress and write-enable latch, write enable/disable, chip erase, page
// program (clears bits only, wraps within the 256-byte page) and read. Erase and program are busy for a
// platform-clock time. Optionally persisted in a host file.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class SpiFlash {
 public:
  static constexpr size_t kSize = 4u << 20;
  static constexpr size_t kPage = 256;
  static constexpr uint8_t kId[3] = {0x5A, 0x40, 0x16};  // manufacturer, memory type, capacity (2^22)
  static constexpr uint8_t kElectronicId = 0x15;         // answered by 0xAB after three dummy bytes
  static constexpr int64_t kEraseNs = 400'000'000;
  static constexpr int64_t kProgramNs = 1'000'000;
  static constexpr uint8_t kStatusWip = 0x01;
  static constexpr uint8_t kStatusWel = 0x02;

  // errorLog receives misuse (commands while busy, program without write enable, unknown opcodes) and
  // backing-file problems. A backing file of the wrong size is left alone and not used.
  explicit SpiFlash(std::string backingFile = {}, std::function<void(const std::string&)> errorLog = {});

  void select();
  uint8_t transfer(uint8_t out);  // one byte each way
  void deselect();

  // Back door.
  std::vector<uint8_t> read(size_t offset, size_t len) const;
  void load(size_t offset, const uint8_t* data, size_t len);
  uint8_t status() const;
  void holdBusy(bool busy);  // fault: write-in-progress stays set
  // The next `reads` status reads on the bus report write-in-progress, whatever the clock says.
  void busyForStatusReads(uint32_t reads);
  // Busy times in platform ns; they also apply to an operation already running.
  void setTimings(int64_t eraseNs, int64_t programNs);
  uint64_t erases() const;
  uint64_t programs() const;

 private:
  bool busy_locked() const;
  uint8_t status_locked() const;
  void persistAll_locked();
  void persistRange_locked(size_t offset, size_t len);
  void log(const std::string& msg) const;

  mutable std::mutex m_;
  std::vector<uint8_t> mem_;
  std::string file_;
  bool persist_ = false;
  bool fileExists_ = false;
  std::function<void(const std::string&)> errorLog_;

  bool selected_ = false;
  int pos_ = 0;  // bytes clocked since select
  uint8_t opcode_ = 0;
  uint32_t addr_ = 0;
  bool ignored_ = false;  // command refused (busy): the rest of the transaction is ignored
  std::array<uint8_t, kPage> pageBuf_{};
  std::array<bool, kPage> pageTouched_{};
  bool pageData_ = false;
  mutable bool wel_ = false;
  mutable bool busy_ = false;
  int64_t busyStart_ = 0;
  bool busyErase_ = false;
  int64_t eraseNs_ = kEraseNs, programNs_ = kProgramNs;
  mutable bool busyClearsWel_ = false;
  bool heldBusy_ = false;
  uint32_t busyReads_ = 0;
  uint64_t erases_ = 0, programs_ = 0;
};

}  // namespace sim
