// The card's serial EEPROM: 256 bytes at 0xA0, a one-byte address pointer, sequential reads that wrap at 256,
// 16-byte page writes that wrap within the page, and a write cycle during which it NAKs its address.
// Optionally persisted in a host file (replaced atomically after each write).
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "sim/i2c_slave.h"

namespace sim {

class Eeprom : public I2cSlave {
 public:
  static constexpr uint8_t kAddress = 0xA0;
  static constexpr size_t kSize = 256;
  static constexpr size_t kPage = 16;
  static constexpr int64_t kWriteCycleNs = 5'000'000;  // platform time

  // errorLog receives problems with the backing file (unreadable, wrong size, write failure). A file of the
  // wrong size is left alone and the content is not persisted, so nothing in it is lost.
  explicit Eeprom(std::string backingFile = {}, std::function<void(const std::string&)> errorLog = {});

  bool start(uint8_t addr8, bool read) override;
  bool writeByte(uint8_t byte) override;
  uint8_t readByte() override;
  void stop() override;

  // Back door for tests and tools: the cells as they are, without bus traffic or write cycle.
  std::array<uint8_t, kSize> contents() const;
  void setContents(size_t offset, const uint8_t* data, size_t len);
  // Fault: NAK every address phase as if a write cycle never ended.
  void holdBusy(bool busy);
  bool busy() const;
  // Write cycle time in platform ns; it also applies to a cycle already running.
  void setWriteCycle(int64_t ns);
  uint64_t writeCycles() const;

 private:
  bool busy_locked() const;
  void commit_locked();

  mutable std::mutex m_;
  std::array<uint8_t, kSize> mem_;
  std::array<uint8_t, kSize> staged_;
  std::array<bool, kSize> touched_{};
  std::string file_;
  bool persist_ = false;
  std::function<void(const std::string&)> errorLog_;
  uint8_t pointer_ = 0;
  bool selected_ = false;
  bool reading_ = false;
  bool pointerSet_ = false;  // first byte of a write addresses the pointer
  bool pending_ = false;     // data bytes latched, programmed at stop
  bool heldBusy_ = false;
  bool cycling_ = false;
  int64_t cycleStart_ = 0;
  int64_t cycleNs_ = kWriteCycleNs;
  uint64_t cycles_ = 0;
};

}  // namespace sim
