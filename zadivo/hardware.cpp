// Hardware resources and board start-up: resource table, register window mapping, interrupt, DMA adapter and
// common buffer, PCI identity, and the register primitives every other part uses.
#include "hw/dma_regs.h"
#include "hw/i2c_regs.h"
#include "hw/irq_regs.h"
#include "trace/trace.h"
#include "zadivo/device.h"

NTSTATUS Device::InitializeHW(PCM_RESOURCE_LIST translatedResources) {
  ZTRACE("enter InitializeHW\n");
  for (auto& ring : _p_ts_ring) {
    if (!ring) {
      ring = static_cast<TsRing*>(ExAllocatePoolWithTag(NonPagedPoolNx, kTsRingAllocBytes, kTagRing));
      if (!ring) return STATUS_INSUFFICIENT_RESOURCES;
    }
    ring->capacity = kTsRingCapacity;
    ring->read = 0;
    ring->write = 0;
    ring->reserved = 0;
  }

  NTSTATUS status = RetrieveResources(translatedResources);
  if (!NT_SUCCESS(status)) return status;
  if (_resource_count == 0) {
    ZTRACE("ERROR! No memory (BARs) allocated to hardware!\n");
    UnmapResources();
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // Events, DPCs and locks are armed whether or not an interrupt was assigned.
  for (ULONG k = 0; k < 4; ++k) {
    KeInitializeEvent(&_i2c_done[k], NotificationEvent, FALSE);
    KeInitializeDpc(i2cDpcOf(k), i2cDpc, this);
  }
  KeInitializeSpinLock(&_spare_lock);
  for (auto& lock : _channel_lock) KeInitializeSpinLock(&lock);
  if (_has_interrupt) {
    ZTRACE("IoConnectInterrupt interrupt requested.!!!!!!!!!!!\n");
    status = IoConnectInterrupt(&_p_interrupt, isr, this, nullptr, _irq_vector, _irq_level, _irq_level,
                                static_cast<KINTERRUPT_MODE>(_irq_mode), TRUE, _irq_affinity, FALSE);
    if (!NT_SUCCESS(status)) {
      _p_interrupt = nullptr;
      ZTRACE("ERROR! IoConnectInterrupt failed!\n");
      return status;
    }
  } else {
    ZTRACE("No interrupt requested.\n");
  }

  writeRegister(hw::irq::kMasterEnable, 0);
  for (ULONG n = 0; n < 8; ++n) writeRegister(hw::dma::kBlockBase[n] + hw::dma::kControl, 0);

  DEVICE_DESCRIPTION description = {};
  description.Version = DEVICE_DESCRIPTION_VERSION;
  description.Master = TRUE;
  description.ScatterGather = FALSE;
  description.Dma32BitAddresses = TRUE;
  description.InterfaceType = PCIBus;
  description.MaximumLength = hw::dma::kCommonBufferBytes;
  _map_registers = 1024;
  ZTRACE("calling IoGetDmaAdapter()\n");
  _p_dma_adapter = IoGetDmaAdapter(_p_ks_device->PhysicalDeviceObject, &description, &_map_registers);
  if (!_p_dma_adapter) {
    ZTRACE("ERROR IoGetDmaAdapter\n");
    _dma_ready = FALSE;
    return STATUS_ADAPTER_HARDWARE_ERROR;
  }
  _dma_ready = TRUE;
  ZTRACE("calling AllocateCommonBuffer()\n");
  _p_dma_buffer = _p_dma_adapter->DmaOperations->AllocateCommonBuffer(
      _p_dma_adapter, hw::dma::kCommonBufferBytes, &_dma_buffer_phys, FALSE);
  if (!_p_dma_buffer) {
    ZTRACE("ERROR AllocateCommonBuffer\n");
    _dma_ready = FALSE;
    return STATUS_MEMORY_NOT_ALLOCATED;
  }
  ZTRACE("DMABuf physAdr=%x  ++  %x   kva=%p dmasize %d\n", static_cast<unsigned>(_dma_buffer_phys.HighPart),
         static_cast<unsigned>(_dma_buffer_phys.LowPart), _p_dma_buffer, hw::dma::kCommonBufferBytes);
  _dma_buffer_size = hw::dma::kCommonBufferBytes;
  RtlZeroMemory(_p_dma_buffer, _dma_buffer_size);
  programDmaChannels();
  for (ULONG n = 0; n < 8; ++n) KeInitializeDpc(dmaDpcOf(n), dmaDpc, this);

  dumpPciConfig();
  PDEVICE_OBJECT pdo = _p_ks_device->PhysicalDeviceObject;
  ULONG value = 0, len = 0;
  ZTRACE("Calling IoGetDeviceProperty(BusNum).\n");
  if (NT_SUCCESS(IoGetDeviceProperty(pdo, DevicePropertyBusNumber, sizeof(value), &value, &len))) {
    ZTRACE("retLen=%d  BusNum=%x\n", static_cast<int>(len), static_cast<unsigned>(value));
    _bus_number = value;
  } else {
    ZTRACE("FAILED!\n");
  }
  ZTRACE("Calling IoGetDeviceProperty(Dev/Func)\n");
  if (NT_SUCCESS(IoGetDeviceProperty(pdo, DevicePropertyAddress, sizeof(value), &value, &len))) {
    ZTRACE("retLen=%d  Dev=%x  Func=%x\n", static_cast<int>(len), static_cast<unsigned>(value >> 16),
           static_cast<unsigned>(value & 0xFFFF));
    _device_number = static_cast<USHORT>(value >> 16);
    _function_number = static_cast<USHORT>(value & 0xFFFF);
  } else {
    ZTRACE("FAILED!\n");
  }
  ZTRACE("Calling IoGetDeviceProperty(UINumber)\n");
  if (NT_SUCCESS(IoGetDeviceProperty(pdo, DevicePropertyUINumber, sizeof(value), &value, &len))) {
    ZTRACE("retLen=%d  UINum=%x\n", static_cast<int>(len), static_cast<unsigned>(value));
    _ui_number = value;
  } else {
    ZTRACE("FAILED!\n");
  }

  for (auto& ch : _channel) ch.running = FALSE;
  enableInterrupts();
  for (ULONG k = 0; k < 4; ++k) i2cSetMode(hw::i2c::kMasterBase[k], hw::i2c::kModeDefault);
  ZTRACE("exit InitializeHW (%x)\n", 0);
  return STATUS_SUCCESS;
}

void Device::programDmaChannels() {
  for (ULONG n = 0; n < 8; ++n) {
    const ULONG base = hw::dma::kBlockBase[n];
    writeRegister(base + hw::dma::kAddrHigh, static_cast<ULONG>(_dma_buffer_phys.HighPart));
    writeRegister(base + hw::dma::kAddrLow, _dma_buffer_phys.LowPart + n * hw::dma::kSliceBytes);
    writeRegister(base + hw::dma::kBufLength, hw::dma::kSliceBytes);
    writeRegister(base + hw::dma::kBlockLength, hw::dma::kBlockBytes);
  }
}

void Device::enableInterrupts() {
  writeRegister(hw::irq::kMasterEnable, 1);
  for (ULONG k = 0; k < 4; ++k) writeRegister(hw::irq::kI2cEnable[k], 1);
}

void Device::dumpPciConfig() {
  ZTRACE("Calling ReadWriteConfigSpace to get cfg regs.\n");
  NTSTATUS status =
      ReadWriteConfigSpace(_p_ks_device->PhysicalDeviceObject, FALSE, _pci_config, 0, sizeof(_pci_config));
  if (!NT_SUCCESS(status)) {
    ZTRACE("ERROR! reading PCICfgRegs!\n");
    return;
  }
  static const char* const kRows[4] = {"PCICfgRegs 00: %x %x %x %x\n", "PCICfgRegs 10: %x %x %x %x\n",
                                       "PCICfgRegs 20: %x %x %x %x\n", "PCICfgRegs 30: %x %x %x %x\n"};
  for (ULONG row = 0; row < 4; ++row) {
    ULONG w[4];
    for (ULONG i = 0; i < 4; ++i) {
      const UCHAR* b = &_pci_config[row * 16 + i * 4];
      w[i] = ULONG(b[0]) | ULONG(b[1]) << 8 | ULONG(b[2]) << 16 | ULONG(b[3]) << 24;
    }
    ZTRACE(kRows[row], w[0], w[1], w[2], w[3]);
  }
}

NTSTATUS Device::RetrieveResources(PCM_RESOURCE_LIST list) {
  for (auto& bar : _bar) {
    bar.valid = FALSE;
    bar.is_port = FALSE;
    bar.needs_mapping = FALSE;
  }
  _resource_count = 0;
  _has_interrupt = FALSE;
  if (!list || list->Count == 0) {
    ZTRACE("ERROR! No allocated translated resources\n");
    return STATUS_SUCCESS;
  }
  const CM_PARTIAL_RESOURCE_LIST& partial = list->List[0].PartialResourceList;
  ZTRACE("%d resource lists %d resources\n", static_cast<int>(list->Count), static_cast<int>(partial.Count));
  NTSTATUS result = STATUS_SUCCESS;
  for (ULONG i = 0; i < partial.Count; ++i) {
    const CM_PARTIAL_RESOURCE_DESCRIPTOR& d = partial.PartialDescriptors[i];
    switch (d.Type) {
      case CmResourceTypePort: {
        if (_resource_count >= kBarEntries) {
          ZTRACE("RetrieveResources: resource table full, Port %x ignored\n",
                 static_cast<unsigned>(d.u.Port.Start.LowPart));
          break;
        }
        DeviceBar& bar = _bar[_resource_count];
        bar.flags = d.Flags;
        bar.type = d.Type;
        bar.valid = TRUE;
        bar.port_address = d.u.Port.Start.LowPart;
        bar.phys_start.QuadPart = d.u.Port.Start.QuadPart;  // the descriptor is 4-byte packed
        bar.length = d.u.Port.Length;
        bar.needs_mapping = (d.Flags & CM_RESOURCE_PORT_IO) == 0;
        bar.is_port = TRUE;
        bar.p_mapped = nullptr;
        ZTRACE("RetrieveResources: BAR%d  Port %x Length %d NeedsMapping %d\n",
               static_cast<int>(_resource_count), static_cast<unsigned>(d.u.Port.Start.LowPart),
               static_cast<int>(d.u.Port.Length), bar.needs_mapping);
        ++_resource_count;
        break;
      }
      case CmResourceTypeInterrupt:
        _has_interrupt = TRUE;
        _irq_level = static_cast<UCHAR>(d.u.Interrupt.Level & 0xFF);
        _irq_vector = d.u.Interrupt.Vector;
        _irq_affinity = d.u.Interrupt.Affinity;
        _irq_mode = (d.Flags == CM_RESOURCE_INTERRUPT_LATCHED) ? 1 : 0;
        ZTRACE("Interrupt vector %x IRQL %d Affinity %d Mode %d\n", static_cast<unsigned>(_irq_vector),
               _irq_level, static_cast<int>(_irq_affinity), static_cast<int>(_irq_mode));
        break;
      case CmResourceTypeMemory: {
        if (_resource_count >= kBarEntries) {
          ZTRACE("RetrieveResources: resource table full, Memory %x ignored\n",
                 static_cast<unsigned>(d.u.Memory.Start.LowPart));
          break;
        }
        PHYSICAL_ADDRESS start;
        start.QuadPart = d.u.Memory.Start.QuadPart;  // the descriptor is 4-byte packed
        PVOID mapped = MmMapIoSpace(start, d.u.Memory.Length, MmNonCached);
        if (!mapped) {
          ZTRACE("ERROR! MmMapIoSpace failed!\n");
          result = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        ZTRACE(" Memory Mapped Hardware MmMapIoSpace OK!\n");
        DeviceBar& bar = _bar[_resource_count];
        bar.p_mapped = mapped;
        bar.flags = d.Flags;
        bar.type = d.Type;
        bar.valid = TRUE;
        bar.phys_start = start;
        bar.length = d.u.Memory.Length;
        bar.needs_mapping = TRUE;
        bar.is_port = FALSE;
        ZTRACE("BAR%d  Memory %x %x Length %d  NeedsMapping %d  Mapped@ %p\n",
               static_cast<int>(_resource_count), static_cast<unsigned>(d.u.Memory.Start.HighPart),
               static_cast<unsigned>(d.u.Memory.Start.LowPart), static_cast<int>(d.u.Memory.Length),
               bar.needs_mapping, mapped);
        ++_resource_count;
        break;
      }
      default:
        ZTRACE("Unsupported resource type %d\n", d.Type);
        break;
    }
  }
  return result;
}

void Device::UnmapResources() {
  for (auto& bar : _bar) {
    if (bar.valid && bar.needs_mapping && bar.p_mapped) {
      MmUnmapIoSpace(bar.p_mapped, bar.length);
      bar.p_mapped = nullptr;
    }
  }
  ZTRACE("UnmapResources!\n");
}

NTSTATUS Device::ReadWriteConfigSpace(PDEVICE_OBJECT pdo, BOOLEAN write, PVOID buffer, ULONG offset,
                                      ULONG length) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PDEVICE_OBJECT target = IoGetAttachedDeviceReference(pdo);
  IO_STATUS_BLOCK ioStatus = {};
  NTSTATUS status;
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, target, nullptr, 0, nullptr, &event, &ioStatus);
  if (!irp) {
    ZTRACE("ERROR: IoBuildSyncReq failed\n");
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    if (write) {
      stack->MinorFunction = IRP_MN_WRITE_CONFIG;
      ZTRACE("IRP_MN_WRITE_CONFIG\n");
    } else {
      stack->MinorFunction = IRP_MN_READ_CONFIG;
      ZTRACE("IRP_MN_READ_CONFIG\n");
    }
    stack->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    stack->Parameters.ReadWriteConfig.Buffer = buffer;
    stack->Parameters.ReadWriteConfig.Offset = offset;
    stack->Parameters.ReadWriteConfig.Length = length;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    status = IoCallDriver(target, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = ioStatus.Status;
    }
  }
  ObDereferenceObject(target);
  return status;
}

ULONG Device::getBoardId(PDEVICE_OBJECT pdo) {
  ULONG id = 0, value = 0, len = 0;
  NTSTATUS status = IoGetDeviceProperty(pdo, DevicePropertyBusNumber, sizeof(value), &value, &len);
  if (NT_SUCCESS(status) && value != 0xFFFFFFFF) {
    id = value << 16;
  } else {
    DbgPrint("getBoardId: Error! Failed to get the bus number!\n");
  }
  status = IoGetDeviceProperty(pdo, DevicePropertyUINumber, sizeof(value), &value, &len);
  if (NT_SUCCESS(status) && value != 0xFFFFFFFF) return id | value;
  status = IoGetDeviceProperty(pdo, DevicePropertyAddress, sizeof(value), &value, &len);
  if (NT_SUCCESS(status) && value != 0xFFFFFFFF) return id | (value >> 16);
  DbgPrint("getBoardId: Error! Failed to get slot number\n");
  return id;
}

// Registers live in memory windows; a port entry, an unmapped window or an offset past the window reads as
// all ones and drops writes rather than touching an address that is not ours.
volatile ULONG* Device::registerPointer(ULONG address) const {
  const ULONG index = address >> 28;
  const ULONG offset = address & 0x0FFFFFFC;
  if (index >= kBarEntries) return nullptr;
  const DeviceBar& bar = _bar[index];
  if (!bar.valid || bar.is_port || !bar.p_mapped || offset + 4 > bar.length) return nullptr;
  return reinterpret_cast<volatile ULONG*>(static_cast<PUCHAR>(bar.p_mapped) + offset);
}

ULONG Device::readRegister(ULONG address) {
  volatile ULONG* reg = registerPointer(address);
  return reg ? READ_REGISTER_ULONG(reg) : 0xFFFFFFFF;
}

void Device::writeRegister(ULONG address, ULONG value) {
  volatile ULONG* reg = registerPointer(address);
  if (!reg) return;
  WRITE_REGISTER_ULONG(reg, value);
  KeMemoryBarrier();
}

void Device::readRegisterBuffer(ULONG address, ULONG count, PULONG out) {
  for (ULONG i = 0; i < count; ++i) out[i] = readRegister(address + 4 * i);
}
