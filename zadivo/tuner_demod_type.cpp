// CTunerDemodType: the behaviour every tuner-demod class starts from. Requests the family does not know are
// accepted without effect (the extended slots report success), monitors read 0.
#include "zadivo/tuner_demod_type.h"

#include "trace/trace.h"

CTunerDemodType::CTunerDemodType()
    : _frequency(0),
      _symbol_rate(0),
      _third(0),
      _current_symbol_rate(0),
      _current_third(0),
      _current_frequency(0),
      _frequency_multiplier(1000),
      _current_bandwidth(0),
      _bandwidth(0xFFFFFFFF),
      _p_device(nullptr),
      _p_demod_path(nullptr) {
  KeInitializeMutex(&_lock, 0);
}

CTunerDemodType::~CTunerDemodType() {}

void CTunerDemodType::getLockStatus(PULONG) {}
void CTunerDemodType::apiInitEnvironment(PULONG) {}
void CTunerDemodType::commitChanges(PULONG) {}
void CTunerDemodType::apiSetModulationType(LONG) {}
void CTunerDemodType::apiSetSymbolRate(ULONG) {}
void CTunerDemodType::setSpectralInversion(LONG) {}
void CTunerDemodType::setInnerFECRate(LONG) {}
void CTunerDemodType::setTunerRange(LONG) {}
ULONG CTunerDemodType::getSignalStrength() { return kNoSignalStrength; }
ULONG CTunerDemodType::getSignalQuality() { return kNoSignalQuality; }
void CTunerDemodType::apiSetBandwidth(ULONG value) { _bandwidth = value; }
ULONG CTunerDemodType::getBandwidth() { return _bandwidth; }
ULONG CTunerDemodType::getSignalStatistic() { return 0; }

void CTunerDemodType::resetCurrent() {
  _current_frequency = 0;
  _current_symbol_rate = 0;
  _current_third = 0;
}

BOOLEAN CTunerDemodType::isChanged() {
  return (_frequency == _current_frequency && _symbol_rate == _current_symbol_rate &&
          _third == _current_third)
             ? FALSE
             : TRUE;
}

ULONG CTunerDemodType::GetBlindScan(PUCHAR) { return 1; }
ULONG CTunerDemodType::SetBlindScan(PUCHAR) { return 1; }
ULONG CTunerDemodType::GetSNRBER(PUCHAR) { return 1; }
ULONG CTunerDemodType::GetMediaInfo(PUCHAR) { return 1; }
ULONG CTunerDemodType::SetInputStreamID(PUCHAR) { return 1; }
ULONG CTunerDemodType::SetZYNGoldCode(PUCHAR) { return 1; }
ULONG CTunerDemodType::SetStreamType(PUCHAR) { return 1; }
ULONG CTunerDemodType::GetStreamType(PUCHAR) { return 1; }
ULONG CTunerDemodType::SetMODCODES(PUCHAR) { return 1; }
ULONG CTunerDemodType::GetZYNPLPNumber(PUCHAR) { return 1; }
ULONG CTunerDemodType::SetZYNPLPNumber(PUCHAR) { return 1; }
void CTunerDemodType::reserved27() {}
void CTunerDemodType::reserved28() {}

LONG CTunerDemodType::divideRounded(LONG a, LONG b) {
  if (b == 0) return 0;
  return static_cast<LONG>((static_cast<LONGLONG>(a) * 10 / b + 5) / 10);
}

void CTunerDemodType::setFrequency(ULONG value) {
  if (value == 0 || value == 0xFFFFFFFF) return;
  _frequency = value;
}

void CTunerDemodType::setFrequencyMultiplier(ULONG value) {
  ZTRACE("CTunerDemodType::setFrequencyMultiplier\n");
  if (value == 0 || value == 0xFFFFFFFF || (value >= 2 && value <= 9)) {
    if (ZadivoTraceLevel > 1) {
      DbgPrint(ZD_PREFIX);
      DbgPrint("got invalid multiplier valid, ignore\n");
    }
    return;
  }
  _frequency_multiplier = value;
  ZTRACE("new frequency multiplier value = %ld\n", static_cast<long>(static_cast<LONG>(value)));
}
