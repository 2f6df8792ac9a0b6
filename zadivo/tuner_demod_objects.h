// The seven tuner-demod classes, one per standard family (TunerType). They share one implementation,
// CTunerDemodChannel, and differ in a per-class descriptor (standard, bandwidth scaling, reset pauses, trace
// names) and in how a commit tunes. Locks: object lock, then the path lock (inside the glue), then I2C.
#pragma once
#include "zadivo/sony_cxd6802/sony_cxd6802.h"
#include "zadivo/tuner_demod_type.h"

// What one class is, as a table row.
struct TunerDemodTraits {
  const char* className;      // in every trace of the class
  const char* finishedTrace;  // destructor line
  DemodMode mode;             // standard of the monitors; DVB-T2: by the standard tuned last (T2 or T)
  ULONG bandwidthLimitMHz;    // L of the bandwidth scaling; 0 keeps bandwidth untouched
  BOOLEAN traceBandwidth;     // traces the scaled bandwidth
  BOOLEAN resetPauses;        // 5 ms after each demodulator reset pulse
  BOOLEAN keepsPlp;           // SetZYNPLPNumber selects a PLP
};

// Shared behaviour of the seven classes. Adds no virtual slot.
class CTunerDemodChannel : public CTunerDemodType {
 public:
  ~CTunerDemodChannel() override;
  void getLockStatus(PULONG locked) override;
  void apiInitEnvironment(PULONG ok) override;
  void apiSetModulationType(LONG value) override;
  void apiSetSymbolRate(ULONG value) override;
  ULONG getSignalStrength() override;
  ULONG getSignalQuality() override;
  void apiSetBandwidth(ULONG value) override;
  ULONG SetZYNPLPNumber(PUCHAR buffer) override;

  const TunerDemodTraits& traits() const { return *_p_traits; }
  UCHAR pathIndex() const { return _path_index; }
  BOOLEAN initialised() const { return _initialised ? TRUE : FALSE; }
  ULONG plpId() const { return _plp_id; }
  BOOLEAN plpPending() const { return _plp_pending ? TRUE : FALSE; }

 protected:
  CTunerDemodChannel(const TunerDemodTraits* traits, UCHAR pathIndex);

  // Mode the monitors read; 0 when the channel has nothing to read yet. Caller holds the object lock.
  DemodMode monitorMode_locked() const;
  // Bandwidth in MHz as the tune takes it: 0 (refused by every standard) when it does not fit 8 bits.
  UCHAR bandwidthMHz() const;
  // cxd6802_Tune on this channel's path; its DemodResult. Caller holds the object lock.
  ULONG tune_locked(ULONG symbolRateKSps, UCHAR bandwidth, USHORT streamId, DemodMode mode);
  // A commit's out flag: set when its tune reached the air (locked or not), clear when it was refused or a
  // transfer failed, so the caller never reports a refused tune as done.
  static void report(PULONG ok, ULONG result);
  // Commit of the cable classes (DVB-C, J.83B, ISDB-C): frequency, symbol rate, 8 MHz, stream id.
  void cableCommit(PULONG ok, USHORT streamId);

  const TunerDemodTraits* _p_traits;
  ULONG _plp_id;           // low byte from the application
  ULONG _plp_pending;      // a PLP was selected and not yet used (DVB-T2) / is in force (DVB-C2)
  ULONG _initialised;      // object lock
  ULONG _locked_standard;  // searching classes: 0 none tried yet, 1 DVB-T, 2 DVB-T2 (object lock)
  UCHAR _path_index;       // 1..8
};

// DVB-T2, falling back to DVB-T.
class CDVBTDemod : public CTunerDemodChannel {
 public:
  explicit CDVBTDemod(UCHAR pathIndex);
  void commitChanges(PULONG ok) override;
  ULONG GetZYNPLPNumber(PUCHAR buffer) override;
  ULONG lockedStandard() const { return _locked_standard; }
};

class ATSCDemod : public CTunerDemodChannel {
 public:
  explicit ATSCDemod(UCHAR pathIndex);
  void commitChanges(PULONG ok) override;
};

class CDVBCDemod : public CTunerDemodChannel {
 public:
  explicit CDVBCDemod(UCHAR pathIndex);
  void commitChanges(PULONG ok) override;
};

class ISDBTDemod : public CTunerDemodChannel {
 public:
  explicit ISDBTDemod(UCHAR pathIndex);
  void commitChanges(PULONG ok) override;
};

// J.83 Annex B.
class CMCNSDemod : public CTunerDemodChannel {
 public:
  explicit CMCNSDemod(UCHAR pathIndex);
  void commitChanges(PULONG ok) override;
};

// DVB-C2: a PLP selected through SetZYNPLPNumber stays in force for every later tune.
class CDVBC2Demod : public CTunerDemodChannel {
 public:
  explicit CDVBC2Demod(UCHAR pathIndex);
  void commitChanges(PULONG ok) override;
};

// ISDB-C: tunes the stream chosen through SetInputStreamID (bytes 0..1, little-endian; 0 until chosen).
class ISDBCDemod : public CTunerDemodChannel {
 public:
  explicit ISDBCDemod(UCHAR pathIndex);
  void commitChanges(PULONG ok) override;
  ULONG SetInputStreamID(PUCHAR buffer) override;
  USHORT streamId() const { return _stream_id; }

 private:
  USHORT _stream_id;
};

// The class of a TunerType (1, 3..8) for a path index, on the pool; null for any other type or when the
// allocation fails. The object's demodPath() is null when the path could not be allocated.
CTunerDemodType* newTunerDemodObject(ULONG tunerType, UCHAR pathIndex);
