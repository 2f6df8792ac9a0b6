// The tuner-demod classes with one fixed standard: ATSC, DVB-C, ISDB-T, J.83B, DVB-C2, ISDB-C. Their
// commits differ in what they trace, which current values they keep and what they pass to the tune.
#include "trace/trace.h"
#include "zadivo/tuner_demod_objects.h"

namespace {
constexpr TunerDemodTraits kAtsc = {
    "ATSCDemod", "~ATSCDemod   finished  \n", DEMOD_MODE_ATSC, 10, TRUE, TRUE, TRUE,
};
constexpr TunerDemodTraits kDvbc = {
    "CDVBCDemod", "~CDVBCDemod   finished\n", DEMOD_MODE_DVBC, 0, FALSE, TRUE, FALSE,
};
constexpr TunerDemodTraits kIsdbt = {
    "ISDBTDemod", "~ISDBTDemod   finished  \n", DEMOD_MODE_ISDBT, 8, FALSE, FALSE, FALSE,
};
constexpr TunerDemodTraits kMcns = {
    "CMCNSDemod", "~CMCNSDemod   finished\n", DEMOD_MODE_J83B, 0, FALSE, TRUE, FALSE,
};
constexpr TunerDemodTraits kDvbc2 = {
    "CDVBC2Demod", "~CDVBC2Demod   finished  \n", DEMOD_MODE_DVBC2, 8, TRUE, TRUE, TRUE,
};
constexpr TunerDemodTraits kIsdbc = {
    "ISDBCDemod", "~ISDBCDemod   finished\n", DEMOD_MODE_ISDBC, 0, FALSE, FALSE, FALSE,
};

// Printed at every verbosity of 0 and above, with the ordinary prefix.
void traceCommitEnd() {
  if (ZadivoTraceLevel >= 0) {
    DbgPrint(ZD_PREFIX);
    DbgPrint("__commitChanges_END__");
  }
}
}  // namespace

ATSCDemod::ATSCDemod(UCHAR pathIndex) : CTunerDemodChannel(&kAtsc, pathIndex) {}

void ATSCDemod::commitChanges(PULONG ok) {
  ZTRACE("ATSCDemod::commitChanges\n");
  ZTRACE("new %d  %d\n", static_cast<int>(_frequency), static_cast<int>(_bandwidth));
  _current_bandwidth = _bandwidth;
  MutexHold guard(&_lock);
  report(ok, _initialised ? tune_locked(0, bandwidthMHz(), 0, DEMOD_MODE_ATSC) : DEMOD_ERR_STATE);
}

CDVBC2Demod::CDVBC2Demod(UCHAR pathIndex) : CTunerDemodChannel(&kDvbc2, pathIndex) {}

void CDVBC2Demod::commitChanges(PULONG ok) {
  ZTRACE("CDVBC2Demod::commitChanges\n");
  ZTRACE("new %d  %d\n", static_cast<int>(_frequency), static_cast<int>(_bandwidth));
  _current_bandwidth = _bandwidth;
  MutexHold guard(&_lock);
  if (!_initialised) return report(ok, DEMOD_ERR_STATE);
  // The selected data PLP goes to the tune; without a selection PLP 0.
  const USHORT plp = _plp_pending ? static_cast<USHORT>(_plp_id & 0xFF) : 0;
  report(ok, tune_locked(0, bandwidthMHz(), plp, DEMOD_MODE_DVBC2));
}

ISDBTDemod::ISDBTDemod(UCHAR pathIndex) : CTunerDemodChannel(&kIsdbt, pathIndex) {}

void ISDBTDemod::commitChanges(PULONG ok) {
  ZTRACE("ISDBTDemod::commitChanges\n");
  ZTRACE("new %d  %d\n", static_cast<int>(_frequency), static_cast<int>(_bandwidth));
  ZTRACE("current %d  %d \n", static_cast<int>(_current_frequency), static_cast<int>(_current_bandwidth));
  _current_frequency = _frequency;
  _current_bandwidth = _bandwidth;
  MutexHold guard(&_lock);
  report(ok, _initialised ? tune_locked(0, bandwidthMHz(), 0, DEMOD_MODE_ISDBT) : DEMOD_ERR_STATE);
}

CDVBCDemod::CDVBCDemod(UCHAR pathIndex) : CTunerDemodChannel(&kDvbc, pathIndex) {}
void CDVBCDemod::commitChanges(PULONG ok) { cableCommit(ok, 0); }

CMCNSDemod::CMCNSDemod(UCHAR pathIndex) : CTunerDemodChannel(&kMcns, pathIndex) {}
void CMCNSDemod::commitChanges(PULONG ok) { cableCommit(ok, 0); }

ISDBCDemod::ISDBCDemod(UCHAR pathIndex) : CTunerDemodChannel(&kIsdbc, pathIndex), _stream_id(0) {}
void ISDBCDemod::commitChanges(PULONG ok) { cableCommit(ok, _stream_id); }

ULONG ISDBCDemod::SetInputStreamID(PUCHAR buffer) {
  if (!buffer) return 0;
  {
    MutexHold guard(&_lock);
    _stream_id = static_cast<USHORT>(buffer[0] | buffer[1] << 8);
  }
  ZTRACE("ISDBCDemod::SetInputStreamID: %d \n", static_cast<int>(_stream_id));
  return 1;
}

// Cable commits: frequency and symbol rate; the channel is 8 MHz whatever was asked. They tune without
// testing initialised: a commit reaches them only after the power-up, and before it the path has no bus.
void CTunerDemodChannel::cableCommit(PULONG ok, USHORT streamId) {
  ZTRACE("%s::commitChanges\n", _p_traits->className);
  ZTRACE("new %d  %d  \n", static_cast<int>(_frequency), static_cast<int>(_symbol_rate));
  _current_frequency = _frequency;
  _current_symbol_rate = _symbol_rate;
  {
    MutexHold guard(&_lock);
    report(ok, tune_locked(_symbol_rate, 8, streamId, _p_traits->mode));
  }
  traceCommitEnd();
}
