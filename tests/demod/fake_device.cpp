// Link-time substitute for the parts of Device that the demodulator and tuner drivers call.
#include "fake_bus.h"
#include "zadivo/device.h"

Device::Device(PKSDEVICE ksDevice) {
  _p_ks_device = ksDevice;
  for (KMUTEX& m : _mutex) KeInitializeMutex(&m, 0);
}
Device::~Device() {}

bool Device::i2cReadRegister(ULONG master, UCHAR slave, UCHAR subAddress, PUCHAR out, ULONG length) {
  return fake::Bus::get().readRegister(master, slave, subAddress, out, length);
}
bool Device::i2cReadBurst(ULONG master, UCHAR slave, PUCHAR out, ULONG length) {
  return fake::Bus::get().readBurst(master, slave, out, length);
}
bool Device::i2cReadBlock(ULONG master, UCHAR slave, UCHAR reg, PUCHAR out, ULONG length) {
  return fake::Bus::get().writeBurst(master, slave, &reg, 1) &&
         fake::Bus::get().readBurst(master, slave, out, length);
}
bool Device::i2cWriteBurst(ULONG master, UCHAR slave, const UCHAR* data, ULONG length) {
  fake::Bus::get().writeBurst(master, slave, data, length);
  return false;  // the real operation reports 0 whatever happened
}
// The scripted chips keep no power state a reset line could clear.
ULONG Device::DVB_SET_DemodReset(ULONG) { return 0; }
bool Device::i2cWriteRegister(ULONG master, UCHAR slave, UCHAR reg, const UCHAR* data, ULONG length, bool) {
  return fake::Bus::get().writeRegister(master, slave, reg, data, length);
}

namespace fake {

Bus& Bus::get() {
  static Bus bus;
  return bus;
}

void Bus::reset() {
  std::lock_guard<std::mutex> g(_mutex);
  _chips.clear();
  _demods.clear();
  _log.clear();
  _collisions = 0;
  failIf = nullptr;
  afterWrite = nullptr;
}

void Bus::addDemod(uint32_t master, uint8_t mainAddr, uint16_t chipId, uint8_t tunerId) {
  std::lock_guard<std::mutex> g(_mutex);
  for (uint8_t a : {mainAddr, uint8_t(mainAddr + 4), uint8_t(mainAddr - 0x40), uint8_t(mainAddr + 0x58)})
    _chips[{master, a}] = Chip{};
  Chip& sys = _chips[{master, uint8_t(mainAddr + 4)}];
  sys.regs[0][0xFB] = uint8_t(chipId >> 8);
  sys.regs[0][0xFD] = uint8_t(chipId);
  Demod d{master, mainAddr, Chip{}};
  d.tuner.banked = false;
  d.tuner.regs[0][0x7F] = tunerId;
  _demods.push_back(d);
}

Chip* Bus::chip(uint32_t master, uint8_t slave) {
  auto it = _chips.find({master, slave});
  return it == _chips.end() ? nullptr : &it->second;
}

Chip* Bus::tuner(uint32_t master, uint8_t demodMain) {
  for (Demod& d : _demods)
    if (d.master == master && d.main == demodMain) return &d.tuner;
  return nullptr;
}

bool Bus::repeaterOpen(uint32_t master, uint8_t demodMain) {
  Chip* sys = chip(master, uint8_t(demodMain + 4));
  return sys && sys->regs[0][0x08] == 1;
}

Chip* Bus::resolve_locked(uint32_t master, uint8_t slave, uint8_t* tunerOf) {
  *tunerOf = 0;
  if ((slave & 0xFE) == 0xC0) {
    Chip* found = nullptr;
    int open = 0;
    for (Demod& d : _demods) {
      if (d.master == master && repeaterOpen(master, d.main)) {
        ++open;
        found = &d.tuner;
        *tunerOf = d.main;
      }
    }
    if (open > 1) {
      ++_collisions;
      *tunerOf = 0;
      return nullptr;
    }
    return found;
  }
  return chip(master, slave & 0xFE);
}

bool Bus::finish_locked(Transfer& t) {
  if (failIf && failIf(t)) t.ok = false;
  _log.push_back(t);
  return t.ok;
}

bool Bus::readRegister(uint32_t master, uint8_t slave, uint8_t sub, uint8_t* out, uint32_t length) {
  std::lock_guard<std::mutex> g(_mutex);
  Transfer t;
  t.master = master;
  t.slave = slave;
  t.reg = sub;
  Chip* c = resolve_locked(master, slave, &t.tunerOf);
  if (!c || length < 1 || length > 4) {
    t.ok = false;
    return finish_locked(t);
  }
  t.bank = c->banked ? c->bank : 0;
  for (uint32_t i = 0; i < length; ++i) t.data.push_back(c->regs[t.bank][uint8_t(sub + i)]);
  if (!finish_locked(t)) return false;
  std::copy(t.data.begin(), t.data.end(), out);
  return true;
}

bool Bus::readBurst(uint32_t master, uint8_t slave, uint8_t* out, uint32_t length) {
  std::lock_guard<std::mutex> g(_mutex);
  Transfer t;
  t.master = master;
  t.slave = slave;
  Chip* c = resolve_locked(master, slave, &t.tunerOf);
  if (!c || length < 1 || length > 255) {
    t.ok = false;
    return finish_locked(t);
  }
  t.bank = c->banked ? c->bank : 0;
  t.reg = c->pointer;
  for (uint32_t i = 0; i < length; ++i) t.data.push_back(c->regs[t.bank][uint8_t(c->pointer + i)]);
  if (!finish_locked(t)) return false;
  std::copy(t.data.begin(), t.data.end(), out);
  return true;
}

bool Bus::writeBurst(uint32_t master, uint8_t slave, const uint8_t* data, uint32_t length) {
  if (length == 0) return false;
  return writeRegister(master, slave, data[0], data + 1, length - 1);
}

bool Bus::writeRegister(uint32_t master, uint8_t slave, uint8_t r, const uint8_t* data, uint32_t length) {
  std::lock_guard<std::mutex> g(_mutex);
  Transfer t;
  t.master = master;
  t.slave = slave;
  t.write = true;
  t.reg = r;
  t.data.assign(data, data + length);
  Chip* c = resolve_locked(master, slave, &t.tunerOf);
  if (!c || length > 55) {
    t.ok = false;
    return finish_locked(t);
  }
  t.bank = c->banked ? c->bank : 0;
  if (!finish_locked(t)) return false;
  c->pointer = r;
  for (uint32_t i = 0; i < length; ++i) {
    if (c->banked && r == 0 && i == 0) {
      c->bank = data[0];
      c->regs[0][0] = data[0];
      continue;
    }
    // The repeater control of a system slave is not banked.
    uint8_t bank = (c->banked && uint8_t(r + i) == 0x08) ? 0 : t.bank;
    c->regs[bank][uint8_t(r + i)] = data[i];
  }
  if (afterWrite) afterWrite(t);
  return true;
}

std::vector<Transfer> Bus::log() {
  std::lock_guard<std::mutex> g(_mutex);
  return _log;
}

void Bus::clearLog() {
  std::lock_guard<std::mutex> g(_mutex);
  _log.clear();
}

std::vector<Transfer> writesTo(const std::vector<Transfer>& log, uint8_t slave) {
  std::vector<Transfer> out;
  for (const Transfer& t : log)
    if (t.write && t.ok && t.slave == slave) out.push_back(t);
  return out;
}

bool hasWrite(const std::vector<Transfer>& log, uint8_t slave, uint8_t bank, uint8_t reg,
              const std::vector<uint8_t>& data) {
  for (const Transfer& t : log)
    if (t.write && t.ok && t.slave == slave && t.bank == bank && t.reg == reg && t.data == data) return true;
  return false;
}

int countWrites(const std::vector<Transfer>& log, uint8_t slave, uint8_t bank, uint8_t reg) {
  int n = 0;
  for (const Transfer& t : log)
    if (t.write && t.ok && t.slave == slave && t.bank == bank && t.reg == reg) ++n;
  return n;
}

int countReads(const std::vector<Transfer>& log, uint8_t slave, uint8_t bank, uint8_t reg) {
  int n = 0;
  for (const Transfer& t : log) n += !t.write && t.slave == slave && t.bank == bank && t.reg == reg;
  return n;
}

}  // namespace fake
