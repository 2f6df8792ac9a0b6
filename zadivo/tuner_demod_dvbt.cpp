// CDVBTDemod: DVB-T2 first, DVB-T when the T2 tune fails; a selected PLP makes one T2 tune of that PLP.
#include "trace/trace.h"
#include "zadivo/tuner_demod_objects.h"

namespace {
constexpr TunerDemodTraits kTraits = {
    "CDVBTDemod", "~CDVBTDemod   finished  \n", DEMOD_MODE_DVBT2, 10, TRUE, TRUE, TRUE,
};
}  // namespace

CDVBTDemod::CDVBTDemod(UCHAR pathIndex) : CTunerDemodChannel(&kTraits, pathIndex) {}

void CDVBTDemod::commitChanges(PULONG ok) {
  ZTRACE("CDVBTDemod::commitChanges\n");
  ZTRACE("Demod %d new %d  %d\n", _path_index, static_cast<int>(_frequency), static_cast<int>(_bandwidth));
  _current_bandwidth = _bandwidth;
  MutexHold guard(&_lock);
  if (!_initialised) return report(ok, DEMOD_ERR_STATE);
  const UCHAR mhz = bandwidthMHz();
  if (_plp_pending) {
    // One attempt at the chosen PLP; the next commit searches again.
    _plp_pending = 0;
    const ULONG result = tune_locked(0, mhz, static_cast<USHORT>(_plp_id), DEMOD_MODE_DVBT2);
    _locked_standard = 2;
    return report(ok, result);
  }
  // The last standard tried is the one the channel is left in: its tune decides the commit.
  ULONG result = tune_locked(0, mhz, 0, DEMOD_MODE_DVBT2);
  _locked_standard = 2;
  if (result != DEMOD_OK) {
    result = tune_locked(0, mhz, 0, DEMOD_MODE_DVBT);
    _locked_standard = 1;
  }
  report(ok, result);
}

ULONG CDVBTDemod::GetZYNPLPNumber(PUCHAR buffer) {
  if (!buffer) return 0;
  ZynPlpReply reply;
  RtlZeroMemory(&reply, sizeof(reply));
  UCHAR ids[255];
  UCHAR count = 0;
  ULONG result;
  {
    // The list read must not land inside a tune of this channel: object lock, then the glue's path lock.
    MutexHold guard(&_lock);
    result = cxd6802_GetDataPLPs(_p_demod_path, DEMOD_MODE_DVBT2, ids, &count);
  }
  if (result == DEMOD_OK) {
    reply.count = count;
    RtlCopyMemory(reply.ids, ids, count);
  }
  RtlCopyMemory(buffer, &reply, sizeof(reply));
  return 1;
}
