// A device on one of the card's I2C buses, seen the way the bus sees it: an address phase that is ACKed or
// NAKed, bytes written (each ACKed or NAKed), bytes read, a stop. Chips implement this; the bus of each I2C
// master routes a transfer to every slave that answers the address.
#pragma once
#include <cstdint>

namespace sim {

class I2cSlave {
 public:
  virtual ~I2cSlave() = default;
  // Address phase for the 8-bit address in write form (bit 0 clear). False = NAK (not this slave, busy, ...).
  virtual bool start(uint8_t addr8, bool read) = 0;
  // A byte from the master. False = NAK.
  virtual bool writeByte(uint8_t byte) = 0;
  // A byte to the master.
  virtual uint8_t readByte() = 0;
  // Stop condition (also sent before a repeated start to a slave that took part in the previous phase).
  virtual void stop() = 0;
};

}  // namespace sim
