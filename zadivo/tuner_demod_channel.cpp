// CTunerDemodChannel: what the seven tuner-demod classes share, driven by their descriptor rows, and the
// factory by TunerType.
#include "hw/board_regs.h"
#include "trace/trace.h"
#include "zadivo/tuner_demod_objects.h"

namespace {
constexpr LONGLONG kResetPauseMs = 5;

long asLd(ULONG v) { return static_cast<long>(static_cast<LONG>(v)); }
static_assert((static_cast<ULONG>(kCxd6802NoSignalHundredths) & 0xFFFF) == CTunerDemodType::kNoSignalStrength,
              "the glue and the objects mean the same level by no signal");
}  // namespace

CTunerDemodChannel::CTunerDemodChannel(const TunerDemodTraits* traits, UCHAR pathIndex)
    : _p_traits(traits),
      _plp_id(0),
      _plp_pending(0),
      _initialised(0),
      _locked_standard(0),
      _path_index(pathIndex) {
  KeInitializeMutex(&_lock, 0);
  _p_demod_path = new DemodPath(pathIndex);
}

CTunerDemodChannel::~CTunerDemodChannel() {
  if (_p_demod_path) {
    delete _p_demod_path;
    _p_demod_path = nullptr;
  }
  ZTRACE("%s", _p_traits->finishedTrace);
}

DemodMode CTunerDemodChannel::monitorMode_locked() const {
  if (_p_traits->mode != DEMOD_MODE_DVBT2) return _p_traits->mode;
  switch (_locked_standard) {
    case 1:
      return DEMOD_MODE_DVBT;
    case 2:
      return DEMOD_MODE_DVBT2;
    default:
      return 0;
  }
}

UCHAR CTunerDemodChannel::bandwidthMHz() const {
  const ULONG mhz = _bandwidth / 1000000;
  return mhz > 0xFF ? 0 : static_cast<UCHAR>(mhz);
}

ULONG CTunerDemodChannel::tune_locked(ULONG symbolRateKSps, UCHAR bandwidth, USHORT streamId,
                                      DemodMode mode) {
  ULONG result = DEMOD_ERR_ARGUMENT;
  cxd6802_Tune(_p_demod_path, _frequency, symbolRateKSps, bandwidth, streamId, mode, &result);
  return result;
}

void CTunerDemodChannel::report(PULONG ok, ULONG result) {
  if (ok) *ok = cxd6802_TuneTookPlace(result) ? 1 : 0;
}

void CTunerDemodChannel::apiInitEnvironment(PULONG ok) {
  ZTRACE("%s::apiInitEnvironment \n", _p_traits->className);
  // Without its path record the channel cannot work at all: say so instead of reporting success.
  if (ok) *ok = _p_demod_path ? 1 : 0;
  if (!_p_demod_path) return;
  MutexHold guard(&_lock);
  _initialised = 0;
  if (_path_index == 1 && _p_device) {
    // Channel 1 pulses every demodulator's reset line of the card, in order.
    for (ULONG offset : hw::board::kResetRegs) {
      _p_device->DVB_SET_DemodReset(offset);
      if (_p_traits->resetPauses) {
        LARGE_INTEGER pause;
        pause.QuadPart = -kResetPauseMs * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
      }
    }
  }
  cxd6802_InitPath(_p_demod_path, _p_device);
  _initialised = 1;
}

void CTunerDemodChannel::getLockStatus(PULONG locked) {
  ULONG value;
  {
    MutexHold guard(&_lock);
    const DemodMode mode = monitorMode_locked();
    // Nothing tuned yet, or a channel that never came up: no lock.
    value = (mode == 0 || !_initialised) ? 0 : cxd6802_GetLock(_p_demod_path, mode);
  }
  if (locked) *locked = value;
}

// Measured once the path's tuner was tuned, locked or not: a carrier without lock is what a scan looks for.
ULONG CTunerDemodChannel::getSignalStrength() {
  if (!_initialised) return kNoSignalStrength;
  MutexHold guard(&_lock);
  const DemodMode mode = monitorMode_locked();
  if (mode == 0) return kNoSignalStrength;
  return static_cast<ULONG>(cxd6802_GetRFLevel(_p_demod_path, mode)) & 0xFFFF;
}

ULONG CTunerDemodChannel::getSignalQuality() {
  if (!_initialised) return kNoSignalQuality;
  MutexHold guard(&_lock);
  ULONG locked = 0;
  getLockStatus(&locked);  // re-enters the object lock
  if (!locked) return kNoSignalQuality;
  return static_cast<ULONG>(cxd6802_GetSNR(_p_demod_path, monitorMode_locked())) & 0xFFFF;
}

void CTunerDemodChannel::apiSetModulationType(LONG value) {
  ZTRACE("%s::modulation_type= %ld\n", _p_traits->className, static_cast<long>(value));
}

void CTunerDemodChannel::apiSetSymbolRate(ULONG value) {
  ZTRACE("%s::apiSetSymbolRate = %ld\n", _p_traits->className, asLd(value));
  _symbol_rate = value <= 100000 ? value : value / 1000;  // S/s become kS/s
  ZTRACE("%s::_symblerate= %ld\n", _p_traits->className, asLd(_symbol_rate));
}

void CTunerDemodChannel::apiSetBandwidth(ULONG value) {
  ZTRACE("%s::api Set bandwidth = %ld\n", _p_traits->className, asLd(value));
  const ULONG limit = _p_traits->bandwidthLimitMHz;
  if (limit == 0) return;
  // MHz and kHz become Hz; a value already in Hz (or out of every range) is stored as it is.
  if (value >= 6 && value <= limit) value *= 1000;
  if (value >= 6000 && value <= 1000 * limit) value *= 1000;
  _bandwidth = value;
  if (_p_traits->traceBandwidth) ZTRACE("%s::_bandwidth= %ld\n", _p_traits->className, asLd(_bandwidth));
}

ULONG CTunerDemodChannel::SetZYNPLPNumber(PUCHAR buffer) {
  if (!_p_traits->keepsPlp) return 1;
  if (!buffer) return 0;
  ZTRACE("*******%s::SetZYNPLPNumber********\n", _p_traits->className);
  {
    MutexHold guard(&_lock);  // id and flag change together for the next commit
    _plp_pending = 1;
    _plp_id = buffer[0];
  }
  ZTRACE("*******%s::SetZYNPLPNumber: %d \n", _p_traits->className, static_cast<int>(_plp_id));
  return 1;
}

CTunerDemodType* newTunerDemodObject(ULONG tunerType, UCHAR pathIndex) {
  switch (tunerType) {
    case 1:
      return new CDVBTDemod(pathIndex);
    case 3:
      return new ATSCDemod(pathIndex);
    case 4:
      return new CDVBCDemod(pathIndex);
    case 5:
      return new ISDBTDemod(pathIndex);
    case 6:
      return new CMCNSDemod(pathIndex);
    case 7:
      return new CDVBC2Demod(pathIndex);
    case 8:
      return new ISDBCDemod(pathIndex);
    default:
      return nullptr;
  }
}
