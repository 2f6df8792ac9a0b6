// ATSC: the slave R command mailbox (register writes and soft reset go through it, one command at a time).
#include "demod/sony_demod_atsc.h"

#include "demod/sony_demod_internal.h"

using namespace sony;

namespace {
constexpr UCHAR kCmdRegister = 0x0A;
constexpr UCHAR kCmdWrite = 0xC5;

DemodResult commandWrite(sony_demod_t* demod, const UCHAR* command) {
  if (!demod || !command) return DEMOD_ERR_ARGUMENT;
  return wrn(demod, demod->slaveR, kCmdRegister, command, 6);
}

DemodResult commandPoll(sony_demod_t* demod, UCHAR code) {
  if (!demod) return DEMOD_ERR_ARGUMENT;
  UCHAR reply[6];
  for (ULONG count = 0; count < 1000; count += 10) {
    SONY_CHECK(rd(demod, demod->slaveR, kCmdRegister, reply, 6));
    if (reply[0] != 0) {
      if (reply[5] != code) return DEMOD_ERR_HARDWARE;
      return (reply[0] & 0x3F) == 0x30 ? DEMOD_OK : DEMOD_ERR_OTHER;
    }
    DemodWaitMs(10);
  }
  return DEMOD_ERR_TIMEOUT;
}
}  // namespace

DemodResult sony_demod_atsc_SlaveRWriteRegister(sony_demod_t* demod, UCHAR bank, UCHAR reg, UCHAR value,
                                                UCHAR mask) {
  if (!demod) return DEMOD_ERR_ARGUMENT;
  if (!sleepOrActive(demod)) return DEMOD_ERR_STATE;
  if (demod->slaveRBusy) return DEMOD_ERR_HARDWARE;
  const UCHAR command[6] = {kCmdWrite, bank, reg, value, mask, 0x00};
  SONY_CHECK(commandWrite(demod, command));
  return commandPoll(demod, kCmdWrite);
}

DemodResult slaveRWriteMultiRegisters(sony_demod_t* demod, UCHAR bank, UCHAR firstReg, const UCHAR* data,
                                      UCHAR length) {
  if (!demod || !data) return DEMOD_ERR_ARGUMENT;
  for (UCHAR i = 0; i < length; ++i)
    SONY_CHECK(
        sony_demod_atsc_SlaveRWriteRegister(demod, bank, static_cast<UCHAR>(firstReg + i), data[i], 0xFF));
  return DEMOD_OK;
}

DemodResult demodAbort(sony_demod_t* demod) {
  if (!demod) return DEMOD_ERR_ARGUMENT;
  ZTRACE("demodAbort");
  SONY_CHECK(bank(demod, demod->slaveR, 0x01));
  SONY_CHECK(wr(demod, demod->slaveR, 0x48, 0x01));
  demod->slaveRBusy = 0;
  return DEMOD_OK;
}
