// ISDB-C core of the demodulator model: the TSMF stream selection.
#include "sim/demod_isdbc.h"

namespace sim {

int32_t isdbcStreamId(const MainRegs& m) {
  if (m(0x49, 0x37) & 0x10) return kIsdbcRelativeStream;
  return static_cast<int32_t>(m.be(0x49, 0x32, 2));
}

}  // namespace sim
