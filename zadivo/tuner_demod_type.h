// Per-channel tuner-demod objects: the channel's model of the application's tuning request and the one
// place that turns a committed BDA change into a tune of the demodulator path. The virtual slots keep the
// order every caller relies on.
#pragma once
#include "platform/platform.h"
#include "zadivo/device.h"

struct DemodPath;

class CTunerDemodType {
 public:
  CTunerDemodType();
  virtual ~CTunerDemodType();                     // 0
  virtual void getLockStatus(PULONG locked);      // 1
  virtual void apiInitEnvironment(PULONG ok);     // 2
  virtual void commitChanges(PULONG ok);          // 3
  virtual void apiSetModulationType(LONG value);  // 4
  virtual void apiSetSymbolRate(ULONG value);     // 5
  virtual void setSpectralInversion(LONG value);  // 6
  virtual void setInnerFECRate(LONG value);       // 7
  virtual void setTunerRange(LONG value);         // 8
  virtual ULONG getSignalStrength();              // 9
  virtual ULONG getSignalQuality();               // 10
  virtual void apiSetBandwidth(ULONG value);      // 11
  virtual ULONG getBandwidth();                   // 12
  virtual ULONG getSignalStatistic();             // 13
  virtual void resetCurrent();                    // 14
  virtual BOOLEAN isChanged();                    // 15
  virtual ULONG GetBlindScan(PUCHAR buffer);      // 16
  virtual ULONG SetBlindScan(PUCHAR buffer);      // 17
  virtual ULONG GetSNRBER(PUCHAR buffer);         // 18
  virtual ULONG GetMediaInfo(PUCHAR buffer);      // 19
  virtual ULONG SetInputStreamID(PUCHAR buffer);  // 20
  virtual ULONG SetZYNGoldCode(PUCHAR buffer);    // 21
  virtual ULONG SetStreamType(PUCHAR buffer);     // 22
  virtual ULONG GetStreamType(PUCHAR buffer);     // 23
  virtual ULONG SetMODCODES(PUCHAR buffer);       // 24
  virtual ULONG GetZYNPLPNumber(PUCHAR buffer);   // 25: buffer of kPlpReplyBytes
  virtual ULONG SetZYNPLPNumber(PUCHAR buffer);   // 26
  virtual void reserved27();                      // 27
  virtual void reserved28();                      // 28
  virtual LONG divideRounded(LONG a, LONG b);     // 29

  void setFrequency(ULONG value);
  void setFrequencyMultiplier(ULONG value);
  void setDevice(Device* device) { _p_device = device; }
  DemodPath* demodPath() const { return _p_demod_path; }

  ZD_POOL_OBJECT

  static constexpr ULONG kPlpReplyBytes = 260;

 protected:
  ULONG _frequency;    // kHz
  ULONG _symbol_rate;  // kS/s
  ULONG _third;        // set by nothing; takes part in isChanged only
  ULONG _current_symbol_rate;
  ULONG _current_third;
  ULONG _current_frequency;
  ULONG _frequency_multiplier;
  ULONG _current_bandwidth;
  ULONG _bandwidth;  // Hz
  Device* _p_device;
  DemodPath* _p_demod_path;
  KMUTEX _lock;  // object lock: before the path lock and the I2C mutex
};
