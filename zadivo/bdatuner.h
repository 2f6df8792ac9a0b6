// One per tuner channel A..H: owns the channel's tuner-demod object, creates and registers the channel's BDA
// tuner filter factory, and arbitrates the tuner resource between the filters of that factory by a resource
// id. The Device creates, powers up and deletes the tuners (device_tuners.cpp).
#pragma once
#include "platform/bda.h"
#include "platform/platform.h"
#include "zadivo/demodfilter.h"
#include "zadivo/device.h"

class CTunerDemodType;

// TunerType codes (board-wide, EEPROM 0x94): the standard family of all eight channels.
enum : ULONG {
  kTunerTypeDvbt = 1,   // CDVBTDemod, COFDM filters
  kTunerTypeAtsc = 3,   // ATSCDemod, 8VSB filters
  kTunerTypeDvbc = 4,   // CDVBCDemod, QAM filters
  kTunerTypeIsdbt = 5,  // ISDBTDemod, COFDM filters
  kTunerTypeJ83b = 6,   // CMCNSDemod, QAM filters
  kTunerTypeDvbc2 = 7,  // CDVBC2Demod, COFDM filters
  kTunerTypeIsdbc = 8,  // ISDBCDemod, QAM filters
};
// A stored byte of 0, 2 or above 8 makes no tuner-demod object and is read as 1.
inline UCHAR normaliseTunerType(UCHAR type) { return (type == 0 || type == 2 || type > 8) ? 1 : type; }

class BDATuner {
 public:
  BDATuner(Device* device, PDEVICE_OBJECT pdo, ULONG instance, ULONG tunerType);
  ~BDATuner();

  bool createTunerDemodObj(ULONG boardId);
  NTSTATUS createFilterFactories(PKSDEVICE ksDevice);
  NTSTATUS registerFilter();
  NTSTATUS getStatus(PBOOLEAN present, PBOOLEAN locked);
  NTSTATUS acquireResources(const TunerResource* resource, PULONG id);
  NTSTATUS updateResources(const TunerResource* resource, ULONG id);
  NTSTATUS releaseResources(ULONG id);
  void powerUpThread();

  CTunerDemodType* tunerDemod() const { return _p_tuner_demod; }
  ULONG tunerType() const { return _tuner_type; }
  ULONG instance() const { return _instance; }
  ULONG serial() const { return _serial; }
  const GUID& mediumGuid() const { return _medium_guid; }
  const BDA_FILTER_TEMPLATE* filterTemplate() const { return _p_template; }
  Device* device() const { return _p_device; }
  ULONG resourceHolds() const { return _resource_holds; }

  ZD_POOL_OBJECT

  Device* _p_device;
  CTunerDemodType* _p_tuner_demod;
  GUID _medium_guid;  // identity of the instance with _serial; in no medium and no reply
  ULONG _serial;
  TunerResource _resource;  // last acquired or updated
  ULONG _resource_id;
  ULONG _resource_holds;
  ULONG _instance;
  ULONG _tuner_type;
  PDEVICE_OBJECT _p_pdo;
  ULONG _board_id;
  BDA_FILTER_TEMPLATE* _p_template;  // in the device's object bag
  BDATuner* _p_next_retired;         // chain of Device::_p_retired_tuners
};

// Bag copies of a filter descriptor whose pin mediums carry the board id; the static tables stay untouched.
struct CDevice {
  static NTSTATUS allocateFilterDescriptorForMediums(const KSFILTER_DESCRIPTOR* source, KSOBJECT_BAG bag,
                                                     ULONG boardId, KSFILTER_DESCRIPTOR** copy);
};
