// Device object: PnP start/stop/remove, power, and the card-wide teardown.
#include "zadivo/device.h"

#include "hw/dma_regs.h"
#include "hw/irq_regs.h"
#include "trace/trace.h"

namespace {
Device* deviceOf(PKSDEVICE ksDevice) { return static_cast<Device*>(ksDevice->Context); }
}  // namespace

Device::Device(PKSDEVICE ksDevice) {
  ZTRACE_SCOPE("Device::Device");
  _p_lower_device = ksDevice->NextDeviceObject;
  for (ULONG n = 0; n < 8; ++n) {
    _channel[n].p_pin = nullptr;
    _channel[n].running = FALSE;
    _p_ts_ring[n] = nullptr;
    _p_tuner[n] = nullptr;
    _channel_change[n] = FALSE;
    _p_capture_factory[n] = nullptr;
    _next_block[n] = 0;
    _lapped_blocks[n] = 0;
    _unread_blocks[n] = 0;
  }
  _p_retired_tuners = nullptr;
  KeInitializeMutex(&_tuner_set_lock, 0);
  // No request gets through before the first start.
  ExInitializeRundownProtection(&_requests);
  ExWaitForRundownProtectionRelease(&_requests);
  _p_ks_device = ksDevice;
  _board_id = 0;
  _initialized = 0;
  _power_state = PowerDeviceD0;
  _resource_count = 0;
  for (auto& bar : _bar) {
    bar.valid = FALSE;
    bar.is_port = FALSE;
    bar.needs_mapping = FALSE;
    bar.p_mapped = nullptr;
  }
  _p_dma_adapter = nullptr;
  _dma_buffer_phys.QuadPart = 0;
  _p_dma_buffer = nullptr;
  _map_registers = 0;
  _dma_ready = FALSE;
  _dma_buffer_size = 0;
  _has_interrupt = FALSE;
  _p_interrupt = nullptr;
  for (auto& m : _mutex) KeInitializeMutex(&m, 0);
  // Events, DPCs and spin locks are armed by InitializeHW; make them safe to touch before that.
  for (auto& e : _i2c_done) KeInitializeEvent(&e, NotificationEvent, FALSE);
  for (ULONG k = 0; k < 4; ++k) KeInitializeDpc(i2cDpcOf(k), i2cDpc, this);
  for (ULONG n = 0; n < 8; ++n) KeInitializeDpc(dmaDpcOf(n), dmaDpc, this);
  KeInitializeSpinLock(&_spare_lock);
  for (auto& l : _channel_lock) KeInitializeSpinLock(&l);
}

// Teardown is unInit's job.
Device::~Device() {}

NTSTATUS Device::dispatchCreate(PKSDEVICE ksDevice) {
  Device* device = new Device(ksDevice);
  ksDevice->Context = device;
  return device ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS Device::dispatchPnpStart(PKSDEVICE ksDevice, PIRP, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST) {
  return deviceOf(ksDevice)->init(translated);
}

void Device::dispatchPnpStop(PKSDEVICE ksDevice, PIRP) {
  ZTRACE("Device::dispatchPnpStop \n");
  deviceOf(ksDevice)->unInit();
}

void Device::dispatchRemove(PKSDEVICE ksDevice, PIRP) {
  ZTRACE("Device::dispatchRemove \n");
  Device* device = deviceOf(ksDevice);
  if (device) {
    // A remove without a preceding stop (surprise removal) must not leave an interrupt or DMA behind.
    device->unInit();
    // Every filter is closed before a remove, and the last filter of a tuner takes it along.
    ASSERTMSG("retired tuners at remove", device->_p_retired_tuners == nullptr);
    delete device;
  }
  ksDevice->Context = nullptr;
}

NTSTATUS Device::dispatchQueryPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE deviceTo, DEVICE_POWER_STATE,
                                    SYSTEM_POWER_STATE, SYSTEM_POWER_STATE, POWER_ACTION) {
  return (deviceTo == PowerDeviceD0 || deviceTo == PowerDeviceD3) ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

void Device::dispatchSetPower(PKSDEVICE ksDevice, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
  Device* device = deviceOf(ksDevice);
  if (to == from) return;
  if (to == PowerDeviceD3) {
    ZTRACE("dispatchSetPower:low power state\n");
    device->_power_state = PowerDeviceD3;
  } else if (to == PowerDeviceD0) {
    device->_power_state = PowerDeviceD0;
    device->powerUpDma();
    MutexHold hold(&device->_tuner_set_lock);  // a tuner-type change may be swapping the set
    device->powerUpTuners();
  } else {
    ZERROR("%s unsupported device state requested\n", "Device::dispatchSetPower");
  }
}

// The device exports no interface: answering success without one would hand the requester nothing it can
// use, so a started device lets the query go down the stack.
NTSTATUS Device::dispatchQueryInterface(PKSDEVICE ksDevice, PIRP) {
  Device* device = deviceOf(ksDevice);
  if (!device || !device->_initialized) return STATUS_DEVICE_NOT_READY;
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS Device::init(PCM_RESOURCE_LIST translatedResources) {
  ZTRACE_SCOPE("Device::init");
  if (_initialized) unInit();
  NTSTATUS status = InitializeHW(translatedResources);
  if (!NT_SUCCESS(status)) {
    unInit();
    return status;
  }
  status = createTuners();
  if (!NT_SUCCESS(status)) {
    unInit();
    return status;
  }
  status = registerFilterFactories();
  if (!NT_SUCCESS(status)) {
    unInit();
    return status;
  }
  _initialized = 1;
  powerUpTuners();
  ExReInitializeRundownProtection(&_requests);
  return STATUS_SUCCESS;
}

// The flag is the channel's and goes under the channel's lock: a tuner-type change can leave two tuners of
// one channel (the retired one an open filter still uses, and the new one) committing at once.
void Device::notifyTSPreChannelChange(ULONG channel) {
  ZTRACE("Device::notifyTSPreChannelChange\n");
  if (channel >= 8) return;
  KIRQL irql;
  KeAcquireSpinLock(&_channel_lock[channel], &irql);
  _channel_change[channel] = FALSE;
  KeReleaseSpinLock(&_channel_lock[channel], irql);
}

BOOLEAN Device::notifyTSPostChannelChange(ULONG channel) {
  ZTRACE("Device::notifyTSPostChannelChange\n");
  if (channel >= 8) return FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&_channel_lock[channel], &irql);
  const BOOLEAN changed = _channel_change[channel];
  KeReleaseSpinLock(&_channel_lock[channel], irql);
  return changed;
}

void Device::unInit() {
  ZTRACE_SCOPE("Device::unInit");
  // Refuse new requests and let those in flight finish: they may be tuning with what goes away below.
  ExWaitForRundownProtectionRelease(&_requests);
  // Under each channel's lock, so a DPC still running either finishes its copy first or sees the flag.
  for (ULONG n = 0; n < 8; ++n) {
    KIRQL irql;
    KeAcquireSpinLock(&_channel_lock[n], &irql);
    _channel[n].running = FALSE;
    KeReleaseSpinLock(&_channel_lock[n], irql);
  }
  writeRegister(hw::irq::kMasterEnable, 0);
  ZTRACE("unInit enbale INTERRUPT\n");
  // Stop every channel so nothing DMAs into the buffer freed below (writes to an unmapped window are
  // dropped).
  for (ULONG n = 0; n < 8; ++n) {
    writeRegister(hw::irq::dmaEnable(static_cast<int>(n)), 0);
    writeRegister(hw::dma::kBlockBase[n] + hw::dma::kControl, 0);
  }
  deleteFactories();
  retireTuners();
  if (_p_interrupt) {
    ZTRACE("calling IoDisconnectInterrupt()\n");
    IoDisconnectInterrupt(_p_interrupt);
    _p_interrupt = nullptr;
  }
  // No ISR can queue a DPC any more; let the queued ones finish before registers and rings go away.
  KeFlushQueuedDpcs();
  UnmapResources();
  if (_p_dma_buffer) {
    ZTRACE("FreeCommonBuffer!!!!\n");
    _p_dma_adapter->DmaOperations->FreeCommonBuffer(_p_dma_adapter, _dma_buffer_size, _dma_buffer_phys,
                                                    _p_dma_buffer, FALSE);
    _p_dma_buffer = nullptr;
    _dma_buffer_phys.QuadPart = 0;
  }
  ZTRACE("calling PutDmaAdapter()\n");
  if (_p_dma_adapter) {
    _p_dma_adapter->DmaOperations->PutDmaAdapter(_p_dma_adapter);
    _p_dma_adapter = nullptr;
  }
  for (auto& ring : _p_ts_ring) {
    if (ring) ExFreePoolWithTag(ring, kTagRing);
    ring = nullptr;
  }
}
