// Per-channel tuner-demod objects: the channel's model of the application's tuning request and the one
// place that turns a committed BDA change into a tune of the demodulator path. The virtual slots keep the
// order every caller relies on; the classes of the seven standard families are in tuner_demod_objects.h.
#pragma once
#include "platform/platform.h"
#include "zadivo/device.h"

struct DemodPath;

// Reply of GetZYNPLPNumber: exactly kPlpReplyBytes, little-endian. count is the number of data PLPs the
// demodulator lists (0 when none could be read); ids[0..count-1] are their ids in the demodulator's order;
// every other byte is 0.
struct ZynPlpReply {
  ULONG count;
  UCHAR ids[255];
  UCHAR reserved;
};
static_assert(sizeof(ZynPlpReply) == 260, "the extended property's Get PLP reply is 260 bytes");

class CTunerDemodType {
 public:
  CTunerDemodType();
  virtual ~CTunerDemodType();                     // 0
  virtual void getLockStatus(PULONG locked);      // 1
  virtual void apiInitEnvironment(PULONG ok);     // 2
  virtual void commitChanges(PULONG ok);          // 3
  virtual void apiSetModulationType(LONG value);  // 4
  virtual void apiSetSymbolRate(ULONG value);     // 5: kS/s, or S/s above 100000
  virtual void setSpectralInversion(LONG value);  // 6
  virtual void setInnerFECRate(LONG value);       // 7
  virtual void setTunerRange(LONG value);         // 8
  virtual ULONG getSignalStrength();          // 9: RF level, hundredths of a dBm as 16-bit two's complement
  virtual ULONG getSignalQuality();           // 10: quality figure as 16 bits
  virtual void apiSetBandwidth(ULONG value);  // 11: MHz, kHz or Hz; stored in Hz by the scaling classes
  virtual ULONG getBandwidth();               // 12
  virtual ULONG getSignalStatistic();         // 13
  virtual void resetCurrent();                // 14
  virtual BOOLEAN isChanged();                // 15
  virtual ULONG GetBlindScan(PUCHAR buffer);  // 16
  virtual ULONG SetBlindScan(PUCHAR buffer);  // 17
  virtual ULONG GetSNRBER(PUCHAR buffer);     // 18
  virtual ULONG GetMediaInfo(PUCHAR buffer);  // 19
  virtual ULONG SetInputStreamID(PUCHAR buffer);  // 20: ISDBCDemod reads 2 bytes (stream id), others nothing
  virtual ULONG SetZYNGoldCode(PUCHAR buffer);    // 21
  virtual ULONG SetStreamType(PUCHAR buffer);     // 22
  virtual ULONG GetStreamType(PUCHAR buffer);     // 23
  virtual ULONG SetMODCODES(PUCHAR buffer);       // 24
  virtual ULONG GetZYNPLPNumber(PUCHAR buffer);   // 25: buffer of kPlpReplyBytes (ZynPlpReply)
  virtual ULONG SetZYNPLPNumber(PUCHAR buffer);   // 26: reads byte 0 (the PLP id)
  virtual void reserved27();                      // 27
  virtual void reserved28();                      // 28
  virtual LONG divideRounded(LONG a, LONG b);     // 29: (a x 10 / b + 5) / 10; 0 when b is 0

  void setFrequency(ULONG value);  // kHz; 0 and -1 are ignored
  void setFrequencyMultiplier(ULONG value);
  void setDevice(Device* device) { _p_device = device; }
  DemodPath* demodPath() const { return _p_demod_path; }

  // Read-only views for the filter layer and tests.
  ULONG frequency() const { return _frequency; }
  ULONG symbolRate() const { return _symbol_rate; }
  ULONG frequencyMultiplier() const { return _frequency_multiplier; }
  ULONG currentFrequency() const { return _current_frequency; }
  ULONG currentSymbolRate() const { return _current_symbol_rate; }
  ULONG currentBandwidth() const { return _current_bandwidth; }

  ZD_POOL_OBJECT

  static constexpr ULONG kPlpReplyBytes = sizeof(ZynPlpReply);
  // What every family reports while there is nothing to measure (not initialised, nothing tuned yet, the
  // reading failed) or, for quality, no lock: no signal. Strength is -100.00 dBm, the noise floor, as the
  // 16-bit figure; a figure near 0 would claim a very strong signal.
  static constexpr ULONG kNoSignalStrength = 0x10000 - 10000;
  static constexpr ULONG kNoSignalQuality = 0;

 protected:
  // Parameters are written by the filter's property handlers without the object lock (32-bit stores); the
  // current values and everything below _lock are changed only under it.
  ULONG _frequency;    // kHz
  ULONG _symbol_rate;  // kS/s
  ULONG _third;        // set by nothing; takes part in isChanged only
  ULONG _current_symbol_rate;
  ULONG _current_third;
  ULONG _current_frequency;
  ULONG _frequency_multiplier;  // stored, never applied: frequency is always kHz
  ULONG _current_bandwidth;
  ULONG _bandwidth;  // Hz
  Device* _p_device;
  DemodPath* _p_demod_path;
  KMUTEX _lock;  // object lock: before the path lock and the I2C mutex
};
