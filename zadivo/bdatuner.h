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
  // The channel's tuner filter factory, registered; on failure none is left behind.
  NTSTATUS createFilterFactories(PKSDEVICE ksDevice);
  // Applications see the factory's interfaces: needed for a factory created after start (the framework
  // enables those made during start itself).
  NTSTATUS enableFilterInterfaces();
  // No new filter opens on the factory, and its interfaces go off; filters open on it keep it (and its
  // descriptors) until they close.
  void deleteFilterFactory();
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
  // Torn down with the device while filters still held it: it must not reach the card again.
  BOOLEAN detached() const { return _detached; }

  ZD_POOL_OBJECT

 private:
  // Template and descriptor copy into the staging bag, then the factory; the copy through *copy.
  NTSTATUS makeFilterFactory(PKSDEVICE ksDevice, KSOBJECT_BAG bag, PKSFILTERFACTORY* factory,
                             KSFILTER_DESCRIPTOR** copy);

 public:
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
  BDA_FILTER_TEMPLATE* _p_template;  // in the factory's object bag; nullptr once the factory is deleted
  BDATuner* _p_next_retired;         // chain of Device::_p_retired_tuners
  PKSFILTERFACTORY _p_factory;
  ULONG _open_filters;  // filters holding this tuner (Device::_tuner_set_lock)
  BOOLEAN _detached;    // Device::_tuner_set_lock
  // Serialises acquire, update and release: two filters of the channel may ask at once, and an update holds
  // it for the whole tune. Before the tuner-demod object's lock.
  KMUTEX _resource_lock;
};

struct CDevice {
  // Bag copies of a filter descriptor whose pin mediums carry the board id; the static tables stay untouched.
  static NTSTATUS allocateFilterDescriptorForMediums(const KSFILTER_DESCRIPTOR* source, KSOBJECT_BAG bag,
                                                     ULONG boardId, KSFILTER_DESCRIPTOR** copy);
  // A factory made by make(stagingBag, &factory), with what make put into the staging bag (descriptor
  // copies, template) handed to the factory's own bag: the framework frees them with the factory. On
  // failure nothing is left, neither factory nor copies.
  template <class Make>
  static NTSTATUS createFactory(PKSDEVICE ksDevice, PKSFILTERFACTORY* factory, Make make) {
    *factory = nullptr;
    KSOBJECT_BAG staging = nullptr;
    NTSTATUS status = KsAllocateObjectBag(ksDevice, &staging);
    if (!NT_SUCCESS(status)) return status;
    status = make(staging, factory);
    if (NT_SUCCESS(status)) status = KsCopyObjectBagItems((*factory)->Bag, staging);
    KsFreeObjectBag(staging);
    if (!NT_SUCCESS(status) && *factory) {
      KsDeleteFilterFactory(*factory);
      *factory = nullptr;
    }
    return status;
  }
};
