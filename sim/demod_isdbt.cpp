// J.83 Annex B and ISDB-T parts of the demodulator model.
#include "sim/demod_isdbt.h"

namespace sim {

int64_t j83bSnrOfWord(uint32_t word) {
  if (word < 126) word = 126;
  return 95941 - 95 * lnx100(word);
}

int64_t isdbtSnrOfWord(uint32_t word) { return 100 * log10x100(word) - 9031; }

uint32_t j83bWordFor(double cnrDb) { return nearestWord(cnrDb, 126, 0x1FFF, j83bSnrOfWord); }

uint32_t isdbtWordFor(double cnrDb) { return nearestWord(cnrDb, 1, 0xFFFF, isdbtSnrOfWord); }

std::string fitsJ83b(const MainRegs&, const Multiplex& mux, const BandSetting& band) {
  const int wanted = mux.symbolRate >= kJ83bClassSplit ? 51 : 50;
  if (band.code == wanted) return {};
  return "J.83B class " + std::to_string(band.code) + " programmed, the channel's symbol rate needs class " +
         std::to_string(wanted);
}

void presentJ83b(const MainRegs& m, const DemodModel::Status& s, const std::vector<int32_t>&) {
  const bool demodLock = s.mux && s.canLock && s.syncState >= 5;
  m(0x40, 0x88) = static_cast<uint8_t>((demodLock ? 0x01 : 0) | (s.unlockDetected ? 0x02 : 0));
  m(0x40, 0x10) = s.locked ? 0x20 : 0x00;
  // 256-QAM at the higher of the two standard symbol rates, 64-QAM below.
  m(0x40, 0x19) = s.mux ? (s.mux->symbolRate >= 5300000 ? 0x04 : 0x02) : 0x00;
  m.put16(0x40, 0x4C, s.mux && s.syncState >= 3 ? j83bWordFor(s.mux->cnrDb) : 0);
}

void presentIsdbt(const MainRegs& m, const DemodModel::Status& s, const std::vector<int32_t>&) {
  const bool dmdLock = s.mux && s.canLock && s.syncState >= 4;
  m(0x60, 0x10) =
      static_cast<uint8_t>((s.locked ? 0x01 : 0) | (dmdLock ? 0x02 : 0) | (s.unlockDetected ? 0x10 : 0));
  m.put16(0x60, 0x28, s.mux && s.syncState >= 3 ? isdbtWordFor(s.mux->cnrDb) : 0);
}

}  // namespace sim
